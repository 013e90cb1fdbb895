#include "tools/qsplex/records/record_dump.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "records/node_records.h"
#include "tools/qsplex/records/salvage.h"

namespace qsplex {
namespace {

constexpr int kDataBytesShown = 256;

const char* const kStorageLabels[] = {
    "class id", "class id",    "class id",   "class id",  "open mode",
    "deleted",  "first entry", "open count", "name words"};
const char* const kStreamLabels[] = {
    "data block", "capacity words", "capacity bytes", "size",
    "open mode",  "open count",     "deleted",        "name words"};

std::string Hex(int word) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(word));
  return text;
}

void PrintData(const qss::PlexView& view, const DamageMap& damage,
               const int* stream, const std::string& indent) {
  const int id = stream[qss::kStreamDataBlockWord];
  const int words = view.Words(id);
  if (id == 0) return;
  if (words < 0) {
    std::printf("%sdata block %d: not allocated\n", indent.c_str(), id);
    return;
  }
  const unsigned char* bytes =
      reinterpret_cast<const unsigned char*>(view.Block(id, 0));
  // Sizes are unsigned 32-bit words; a block's bytes can pass 2 GiB.
  const uint64_t size = static_cast<uint32_t>(stream[qss::kStreamSizeWord]);
  const uint64_t readable =
      std::min<uint64_t>(size, 4 * static_cast<uint64_t>(words));
  const int shown =
      static_cast<int>(std::min<uint64_t>(readable, kDataBytesShown));
  std::printf("%sdata block %d (%d words), %s bytes in use\n", indent.c_str(),
              id, words, std::to_string(readable).c_str());
  PrintDamage(damage, view, id, indent);
  for (int at = 0; at < shown; at += 16) {
    std::string line = indent + "  ";
    for (int i = at; i < at + 16 && i < shown; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof hex, " %02x", bytes[i]);
      line += hex;
    }
    std::printf("%s\n", line.c_str());
  }
  if (readable > static_cast<uint64_t>(shown)) {
    std::printf("%s  ... %s more bytes\n", indent.c_str(),
                std::to_string(readable - shown).c_str());
  }
}

// Whether `path` is `top` or lies below it.
bool Within(const std::string& path, const std::string& top) {
  return top == "/" || path == top || path.rfind(top + "/", 0) == 0;
}

// The walk behind DumpRecords: an explicit stack of the entries and nodes
// still to print, so that trees of any depth print in constant stack. An
// entry is admitted as its list is read, a node as it is printed.
class RecordDumper {
 public:
  RecordDumper(const std::vector<qss::AllocatedBlock>& blocks,
               const DamageMap& damage, const std::string& top)
      : walk_(blocks),
        view_(walk_.view()),
        damage_(damage),
        top_(top),
        top_depth_(static_cast<int>(
            top == "/" ? 0 : std::count(top.begin(), top.end(), '/'))) {}

  int Run(int root) {
    stack_ = {{root, qss::kKindStorage, "/", 0, {}}};
    while (!stack_.empty()) {
      const Item item = std::move(stack_.back());
      stack_.pop_back();
      if (item.kind < 0) {
        Entry(item);
      } else {
        Node(item);
      }
    }
    return printed_;
  }

 private:
  struct Item {
    int id;
    int kind;  // a node kind, or -1 for an entry
    std::string path;
    int depth;
    qss::ListStep step;  // of an entry: what the walk found
  };

  std::string Indent(const Item& item) const {
    return std::string(2 * std::max(0, item.depth - top_depth_), ' ');
  }

  void Entry(const Item& item) {
    const bool shown = Within(item.path, top_);
    const std::string indent = Indent(item);
    const qss::ListStep& step = item.step;
    if (step.admission != qss::Admission::kAdmitted) {
      if (shown) {
        std::printf("%sblock %d: %s\n", indent.c_str(), item.id,
                    step.admission == qss::Admission::kReachedAgain
                        ? "listed already"
                        : "not allocated, or too short");
      }
      return;
    }
    const qss::EntryLinks& links = step.links;
    if (shown) {
      std::printf(
          "%sElementEntry %d: next %d, previous %d, kind %d, child %d\n",
          indent.c_str(), item.id, links.next, links.previous, links.kind,
          links.child);
      PrintDamage(damage_, view_, item.id, indent);
    }
    if (links.known_kind()) {
      stack_.push_back(
          {links.child, links.kind, item.path, item.depth + 1, {}});
    }
  }

  void Node(const Item& item) {
    const bool shown = Within(item.path, top_);
    const std::string indent = Indent(item);
    const qss::NodeRecord node =
        walk_.AdmitNode(item.id, qss::LayoutOf(item.kind));
    if (node.admission != qss::Admission::kAdmitted) {
      if (shown) {
        std::printf("%sblock %d: %s\n", indent.c_str(), item.id,
                    node.admission == qss::Admission::kReachedAgain
                        ? "shown already"
                        : "not allocated, or too short");
      }
      return;
    }
    if (shown) {
      PrintNode(node.words, item.id, node.block_words, item.kind, item.path,
                indent);
      PrintDamage(damage_, view_, item.id, indent);
      ++printed_;
    }
    if (item.kind == qss::kKindStream) {
      if (shown) PrintData(view_, damage_, node.words, indent);
      return;
    }
    if (shown || Within(top_, item.path)) ListEntries(node, item);
  }

  // The storage's entries go on the stack in reverse, so that they print
  // in list order.
  void ListEntries(const qss::NodeRecord& storage, const Item& item) {
    std::vector<Item> entries;
    qss::ElementList list = walk_.ListOf(storage);
    qss::ListStep step;
    while (list.Next(&step)) {
      entries.push_back(
          {step.entry, -1,
           (item.path == "/" ? "/" : item.path + "/") + ChildName(step),
           item.depth, step});
    }
    stack_.insert(stack_.end(), entries.rbegin(), entries.rend());
  }

  // The name the entry's child holds, before the child is admitted.
  std::string ChildName(const qss::ListStep& step) const {
    const qss::EntryLinks& links = step.links;
    const int* node =
        step.admission == qss::Admission::kAdmitted && links.known_kind()
            ? view_.Block(links.child,
                          qss::LayoutOf(links.kind).name_length_word + 1)
            : nullptr;
    return node != nullptr ? qss::RecordName(node, view_.Words(links.child),
                                             qss::LayoutOf(links.kind))
                           : "<block " + std::to_string(links.child) + ">";
  }

  qss::RecordWalk walk_;
  const qss::PlexView& view_;
  const DamageMap& damage_;
  const std::string top_;
  const int top_depth_;
  std::vector<Item> stack_;
  int printed_ = 0;
};

}  // namespace

void PrintNode(const int* node, int id, int words, int kind,
               const std::string& path, const std::string& indent) {
  const qss::NodeLayout& layout = qss::LayoutOf(kind);
  const char* const* labels =
      kind == qss::kKindStorage ? kStorageLabels : kStreamLabels;
  std::printf("%s%s %d \"%s\" (%d words)\n", indent.c_str(),
              kind == qss::kKindStorage ? "StorageNode" : "StreamNode", id,
              ShownPath(path).c_str(), words);
  const int header = layout.name_length_word + 1;
  for (int k = 0; k < header && k < words; ++k) {
    std::printf("%s  %3d  %-15s %11d  %s\n", indent.c_str(), k, labels[k],
                node[k], Hex(node[k]).c_str());
  }
  if (words <= header) return;
  std::string name_words;
  for (int k = header; k < words; ++k) name_words += " " + Hex(node[k]);
  std::printf("%s  %3d  %-15s \"%s\"%s\n", indent.c_str(), header, "name",
              ShownPath(qss::RecordName(node, words, layout)).c_str(),
              name_words.c_str());
}

void PrintDamage(const DamageMap& damage, const qss::PlexView& view, int block,
                 const std::string& indent) {
  const auto found = damage.find(block);
  if (found == damage.end()) return;
  std::printf("%s  !! block %d %s\n", indent.c_str(), block,
              DamageText(found->second, view.Words(block)).c_str());
}

int DumpRecords(const std::vector<qss::AllocatedBlock>& blocks,
                const DamageMap& damage, int root, const std::string& top) {
  return RecordDumper(blocks, damage, top).Run(root);
}

ElementCounts CountElements(const std::vector<qss::AllocatedBlock>& blocks) {
  ElementCounts counts;
  qss::RecordWalk walk(blocks);
  std::vector<qss::NodeRecord> storages;
  int root = 0;
  if (walk.ReadAnchor(&root) && root != 0) {
    storages.push_back(walk.AdmitNode(root, qss::kStorageLayout));
  }
  while (!storages.empty()) {
    const qss::NodeRecord storage = storages.back();
    storages.pop_back();
    if (storage.admission != qss::Admission::kAdmitted) continue;
    qss::ElementList list = walk.ListOf(storage);
    qss::ListStep step;
    while (list.Next(&step)) {
      const qss::EntryLinks& links = step.links;
      if (step.admission != qss::Admission::kAdmitted || links.child == 0 ||
          !links.known_kind()) {
        continue;
      }
      const qss::NodeLayout& layout = qss::LayoutOf(links.kind);
      const qss::NodeRecord node = walk.AdmitNode(links.child, layout);
      if (node.admission != qss::Admission::kAdmitted) continue;
      if (qss::RecordName(node.words, node.block_words, layout).empty()) {
        ++counts.unnamed;
      }
      if (links.kind == qss::kKindStorage) {
        ++counts.storages;
        storages.push_back(node);
      } else {
        ++counts.streams;
      }
    }
  }
  return counts;
}

}  // namespace qsplex
