#include "check/tree_check.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>

#include "platform/com.h"
#include "support/utf8.h"

namespace qss {
namespace {

std::string Str(int64_t value) { return std::to_string(value); }

int64_t Unsigned(int word) { return static_cast<uint32_t>(word); }

// The ANSI bytes of a node's name up to the first zero, never past the
// node's last word even when its name-length word claims more.
std::string RawName(const int* node, int node_words, const NodeLayout& layout) {
  const int first = layout.name_length_word + 1;
  const int64_t words =
      std::clamp<int64_t>(node[layout.name_length_word], 0, node_words - first);
  const char* bytes = reinterpret_cast<const char*>(node + first);
  return std::string(bytes, strnlen(bytes, static_cast<size_t>(words) * 4));
}

class TreeChecker {
 public:
  explicit TreeChecker(const std::vector<AllocatedBlock>& blocks)
      : blocks_(blocks), walk_(blocks) {}

  std::vector<TreeFinding> Run() {
    walk_.Reach(1);
    walk_.Reach(kAnchorBlock);
    paths_.push_back({-1, ""});
    int root = 0;
    if (!walk_.ReadAnchor(&root)) {
      Add(FindingKind::kAnchor, "block 2",
          "missing or shorter than 53 words: there is no root anchor");
    } else if (root != 0) {
      const NodeRecord node = Admit(root, kStorageLayout, 0, "the root anchor");
      if (node.words != nullptr) storages_.push_back({node, 0});
    }
    // An explicit stack: trees of any depth are checked in constant stack.
    while (!storages_.empty()) {
      const Pending storage = storages_.back();
      storages_.pop_back();
      CheckElementList(storage);
    }
    CheckLeaks();
    return std::move(findings_);
  }

 private:
  struct Pending {
    NodeRecord node;
    int path;  // index into paths_
  };
  // Paths are kept as links to their parents, so that a deep tree costs
  // memory in proportion to its elements; the text is made for findings only.
  struct PathLink {
    int parent;
    std::string name;
  };

  std::string PathOf(int path) const {
    if (path == 0) return "/";
    std::vector<const std::string*> names;
    for (int at = path; at > 0; at = paths_[at].parent) {
      names.push_back(&paths_[at].name);
    }
    std::string out;
    for (auto name = names.rbegin(); name != names.rend(); ++name) {
      out += "/" + **name;
    }
    return out;
  }

  void Add(FindingKind kind, const std::string& location, std::string message) {
    findings_.push_back({kind, location, std::move(message)});
  }
  void Add(FindingKind kind, int path, std::string message) {
    Add(kind, PathOf(path), std::move(message));
  }

  // Validates a node record before anything reads it; its words are null
  // when it cannot be read safely.
  NodeRecord Admit(int id, const NodeLayout& layout, int path,
                   const std::string& holder) {
    const std::string what =
        (layout.kind == kKindStorage ? "storage node " : "stream node ") +
        Str(id);
    NodeRecord node = walk_.AdmitNode(id, layout);
    switch (node.admission) {
      case Admission::kNotAllocated:
        Add(FindingKind::kLink, path,
            holder + " names block " + Str(id) + ", which is not allocated");
        return node;
      case Admission::kReachedAgain:
        Add(FindingKind::kLink, path, what + " is reached a second time");
        return node;
      case Admission::kTooShort:
        Add(FindingKind::kNode, path,
            what + " has " + Str(node.block_words) + " words, fewer than " +
                Str(node.header_words));
        return node;
      case Admission::kAdmitted:
        break;
    }
    if (!node.sized_as_named()) {
      Add(FindingKind::kNode, path,
          what + " has " + Str(node.block_words) + " words but a name of " +
              Str(node.name_words) + " words (" + Str(node.header_words) +
              " + name words)");
    }
    if (node.words[layout.deleted_word] != 0) {
      Add(FindingKind::kDeleted, path, what + " is marked deleted");
    }
    CheckNameWords(node.words, node.block_words, layout, path, what);
    return node;
  }

  void CheckNameWords(const int* node, int words, const NodeLayout& layout,
                      int path, const std::string& what) {
    const int header = layout.name_length_word + 1;
    const int name_words =
        std::clamp(node[layout.name_length_word], 0, words - header);
    const char* bytes = reinterpret_cast<const char*>(node + header);
    const size_t length = strnlen(bytes, static_cast<size_t>(name_words) * 4);
    for (size_t i = length; i < static_cast<size_t>(name_words) * 4; ++i) {
      if (bytes[i] == 0) continue;
      Add(FindingKind::kName, path,
          what + ": name words hold bytes after the name's end");
      return;
    }
    // A node made with a null name holds one zero word.
    const bool null_name = length == 0 && name_words == 1;
    if (name_words == node[layout.name_length_word] && !null_name &&
        static_cast<int>((length + 3) / 4) != name_words) {
      Add(FindingKind::kName, path,
          what + ": a name of " + Str(length) + " bytes stored in " +
              Str(name_words) + " words");
    }
  }

  void CheckElementList(const Pending& storage) {
    const int path = storage.path;
    std::unordered_map<std::string, int> names;
    ElementList list = walk_.ListOf(storage.node);
    ListStep step;
    while (list.Next(&step)) {
      const std::string what = "entry " + Str(step.entry);
      switch (step.admission) {
        case Admission::kNotAllocated:
          Add(FindingKind::kLink, path,
              "the element list names " + what + ", which is not allocated");
          return;
        case Admission::kReachedAgain:
          Add(FindingKind::kLink, path,
              what + " is reached a second time: the element list loops or " +
                  "shares entries");
          return;
        case Admission::kTooShort:
        case Admission::kAdmitted:
          break;
      }
      if (step.words != kEntryWords) {
        Add(FindingKind::kLink, path,
            what + " has " + Str(step.words) + " words, not 4");
        if (step.admission == Admission::kTooShort) return;
      }
      const EntryLinks& links = step.links;
      if (links.previous != step.expected_previous) {
        Add(FindingKind::kLink, path,
            what + ": previous word " + Str(links.previous) + ", expected " +
                Str(step.expected_previous));
      }
      if (!links.known_kind()) {
        Add(FindingKind::kLink, path,
            what + " has kind " + Str(links.kind) +
                "; only 0 (storage) and 1 (stream) are valid");
      } else if (links.child == 0) {
        Add(FindingKind::kLink, path, what + " has no child");
      } else {
        CheckChild(step.entry, links.kind, links.child, path, &names);
      }
    }
  }

  void CheckChild(int entry, int kind, int child, int parent,
                  std::unordered_map<std::string, int>* names) {
    const NodeLayout& layout = LayoutOf(kind);
    const int words = walk_.view().Words(child);
    const int* readable =
        walk_.view().Block(child, layout.name_length_word + 1);
    const std::string name =
        readable != nullptr ? RawName(readable, words, layout) : "";
    paths_.push_back({parent, name.empty()
                                  ? "<block " + Str(child) + ">"
                                  : RecordName(readable, words, layout)});
    const int path = static_cast<int>(paths_.size()) - 1;
    const NodeRecord node = Admit(child, layout, path, "entry " + Str(entry));
    if (node.words == nullptr) return;
    if (!name.empty()) {
      const auto [first, fresh] = names->emplace(name, entry);
      if (!fresh) {
        Add(FindingKind::kName, path,
            "entries " + Str(first->second) + " and " + Str(entry) +
                " hold elements of the same name");
      }
    }
    if (kind == kKindStorage) {
      storages_.push_back({node, path});
    } else {
      CheckStream(node.words, path);
    }
  }

  // Sizes and capacities are unsigned words, as the library reads them: a
  // stream of 2 GiB or more has its top bits set.
  void CheckStream(const int* node, int path) {
    const int data = node[kStreamDataBlockWord];
    const int64_t capacity_words = Unsigned(node[kStreamCapacityWordsWord]);
    const int64_t capacity = Unsigned(node[kStreamCapacityBytesWord]);
    const int64_t size = Unsigned(node[kStreamSizeWord]);
    if (size > capacity) {
      Add(FindingKind::kStream, path,
          "size " + Str(size) + " exceeds the byte capacity " + Str(capacity));
    }
    if (capacity > 4 * capacity_words) {
      Add(FindingKind::kStream, path,
          "byte capacity " + Str(capacity) + " exceeds 4 times the word " +
              "capacity " + Str(capacity_words));
    }
    if (data == 0) {
      if (capacity_words != 0 || capacity != 0) {
        Add(FindingKind::kStream, path,
            "a capacity of " + Str(capacity_words) +
                " words but no data block");
      }
      return;
    }
    const int data_words = walk_.view().Words(data);
    const Admission admission = walk_.AdmitBlock(data, 0);
    if (admission == Admission::kNotAllocated) {
      Add(FindingKind::kStream, path,
          "data block " + Str(data) + " is not allocated");
    } else if (admission == Admission::kReachedAgain) {
      Add(FindingKind::kStream, path,
          "data block " + Str(data) + " is reached a second time");
    } else if (data_words < capacity_words) {
      Add(FindingKind::kStream, path,
          "data block " + Str(data) + " has " + Str(data_words) +
              " words, fewer than the word capacity " + Str(capacity_words));
    }
  }

  void CheckLeaks() {
    std::vector<AllocatedBlock> sorted = blocks_;
    std::sort(sorted.begin(), sorted.end(),
              [](const AllocatedBlock& a, const AllocatedBlock& b) {
                return a.id < b.id;
              });
    for (const AllocatedBlock& block : sorted) {
      if (walk_.Reached(block.id)) continue;
      Add(FindingKind::kLeak, "block " + Str(block.id),
          "allocated (" + Str(block.words) +
              " words) but not reached from the root");
    }
  }

  const std::vector<AllocatedBlock>& blocks_;
  RecordWalk walk_;
  std::vector<Pending> storages_;
  std::vector<PathLink> paths_;
  std::vector<TreeFinding> findings_;
};

}  // namespace

std::string RawRecordName(const int* node, int node_words,
                          const NodeLayout& layout) {
  return RawName(node, node_words, layout);
}

std::string RecordName(const int* node, int node_words,
                       const NodeLayout& layout) {
  const std::string ansi = RawName(node, node_words, layout);
  std::vector<OLECHAR> wide(ansi.size() + 1);
  std::string out;
  if (AnsiToWide(ansi.c_str(), wide.data(), static_cast<int>(wide.size())) ==
      0) {
    return ansi;
  }
  for (const OLECHAR* c = wide.data(); *c != 0; ++c) {
    qss_support::AppendUtf8(static_cast<uint16_t>(*c), &out);
  }
  return out;
}

std::vector<TreeFinding> CheckTree(const std::vector<AllocatedBlock>& blocks) {
  return TreeChecker(blocks).Run();
}

bool TreeIsWalkable(const std::vector<TreeFinding>& findings) {
  return std::all_of(findings.begin(), findings.end(),
                     [](const TreeFinding& finding) {
                       return finding.kind == FindingKind::kLeak ||
                              finding.kind == FindingKind::kName ||
                              finding.kind == FindingKind::kDeleted;
                     });
}

}  // namespace qss
