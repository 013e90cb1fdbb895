// The salvaging walk over a damaged tree's records, through the checker's
// bounded RecordWalk (check/element_lists.h): the same admission rules, and
// then what the image's damage spoils.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "check/element_lists.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

std::string Str(uint64_t value) { return std::to_string(value); }

uint64_t Unsigned(int word) { return static_cast<uint32_t>(word); }

// The tree's walk over a plex that may hold anything: every block is read
// through the walk, admitted once at most, and an element counts only when
// its record verifies.
class TreeSalvager {
 public:
  TreeSalvager(const std::vector<qss::AllocatedBlock>& blocks,
               const DamageMap& damage)
      : blocks_(blocks), walk_(blocks), view_(walk_.view()), damage_(damage) {}

  SalvagedTree Run() {
    walk_.Reach(1);
    walk_.Reach(qss::kAnchorBlock);
    tree_.roles[1] = "the host's own block";
    tree_.roles[qss::kAnchorBlock] = "the host's block holding the root anchor";
    SalvagedElement root;
    root.kind = qss::kKindStorage;
    root.name = "Root";
    root.path = "/";
    int anchor = 0;
    if (!walk_.ReadAnchor(&anchor)) {
      Lose(&root, "block 2 cannot hold the root anchor");
    } else if (const BlockDamage* damage = Damage(qss::kAnchorBlock);
               damage != nullptr && damage->kind == QSS_PLEX_BLOCK_CUT) {
      Lose(&root,
           "the root anchor's block 2 " + Describe(qss::kAnchorBlock, ""));
    } else if (anchor != 0 && Admit(anchor, &root) != nullptr &&
               damage != nullptr) {
      Spoil(&root, "the root anchor's block 2 " +
                       Describe(qss::kAnchorBlock, "anchor"));
    }
    tree_.elements.push_back(std::move(root));
    // An explicit stack: trees of any depth in constant stack.
    std::vector<int> storages;
    if (tree_.elements[0].node != 0 && tree_.elements[0].fate != Fate::kLost) {
      storages.push_back(0);
    }
    // Then the one storage whose list a cut ends takes the rest of it (see
    // AdoptEntries) and the elements whose entries the cut took.
    for (int round = 0; round < 3; ++round) {
      if (round > 0 && cut_lists_.size() != 1) break;
      if (round == 1) AdoptEntries(cut_lists_[0], &storages);
      if (round == 2) AdoptNodes(cut_lists_[0], &storages);
      while (!storages.empty()) {
        const int storage = storages.back();
        storages.pop_back();
        const int* node =
            view_.Block(tree_.elements[storage].node, qss::kStorageNameWord);
        ListElements(storage, walk_.ListFrom(walk_.FirstEntryOf(node), 0),
                     &storages);
      }
    }
    return std::move(tree_);
  }

 private:
  const BlockDamage* Damage(int block) const {
    const auto found = damage_.find(block);
    return found == damage_.end() ? nullptr : &found->second;
  }

  // "fails its checksum, so its ROLE may be wrong", "is cut off ...".
  std::string Describe(int block, const char* what) const {
    const BlockDamage* damage = Damage(block);
    const std::string text = DamageText(*damage, view_.Words(block));
    if (damage->kind == QSS_PLEX_BLOCK_CHECKSUM) {
      return text + ", so its " + what + " may be wrong";
    }
    return "is " + text;
  }

  static void Lose(SalvagedElement* element, std::string why) {
    element->fate = Fate::kLost;
    element->problems.push_back(std::move(why));
  }
  static void Spoil(SalvagedElement* element, std::string why) {
    if (element->fate == Fate::kKept) element->fate = Fate::kDamaged;
    element->problems.push_back(std::move(why));
  }

  // Reads the record of `element` in block `id` when it verifies: allocated,
  // reached once, as long as its name says and not cut short.
  const int* Admit(int id, SalvagedElement* element) {
    const qss::NodeRecord node =
        walk_.AdmitNode(id, qss::LayoutOf(element->kind));
    const std::string record = "its record, block " + Str(id) + ",";
    if (node.admission == qss::Admission::kNotAllocated) {
      Lose(element, record + " is not allocated");
      return nullptr;
    }
    if (node.admission == qss::Admission::kReachedAgain) {
      Lose(element, record + " belongs to another element too");
      return nullptr;
    }
    element->node = id;
    tree_.roles[id] = "the record of " + element->path;
    if (node.admission == qss::Admission::kTooShort) {
      Lose(element, record + " has " + Str(node.block_words) +
                        " words, fewer than " + Str(node.header_words));
      return nullptr;
    }
    if (!node.sized_as_named()) {
      Lose(element, record + " holds " + Str(node.block_words) +
                        " words, unlike its name length " +
                        Str(node.name_words));
      return nullptr;
    }
    if (const BlockDamage* damage = Damage(id)) {
      if (damage->kind == QSS_PLEX_BLOCK_CUT) {
        Lose(element, record + " " + Describe(id, "record"));
        return nullptr;
      }
      Spoil(element,
            record + " " + Describe(id, "name, class id, size or links"));
    }
    if (node.words[qss::LayoutOf(element->kind).deleted_word] != 0) {
      Spoil(element, record + " is marked deleted");
    }
    if (element->kind == qss::kKindStorage) {
      std::memcpy(&element->clsid, node.words + qss::kStorageClassIdWord,
                  sizeof element->clsid);
    }
    return node.words;
  }

  // The rest of the list a cut ends: lists that no list reaches, starting
  // at a sound entry whose previous word names a block that is not one (a
  // cut image loses its newest blocks, and lists start with their newest
  // entries).
  void AdoptEntries(int storage, std::vector<int>* storages) {
    std::vector<std::pair<int, int>> heads;  // entry, its previous word
    for (const qss::AllocatedBlock& block : blocks_) {
      int previous = 0, before = 0;
      if (!SoundOrphanEntry(block.id, &previous) || previous == 0 ||
          SoundOrphanEntry(previous, &before)) {
        continue;
      }
      heads.emplace_back(block.id, previous);
    }
    for (const auto& [head, previous] : heads) {
      Spoil(&tree_.elements[storage],
            "its element list goes on at entry " + Str(head) +
                ", which no list reaches and which links back to block " +
                Str(previous) + ", lost with the image's end");
      ListElements(storage, walk_.ListFrom(head, previous), storages);
    }
  }

  // Records not reached that no entry names but that verify as a node,
  // sound and with their data block not reached either: elements whose
  // entries the cut took (an entry is made after its element's blocks).
  void AdoptNodes(int storage, std::vector<int>* storages) {
    std::unordered_set<int> named;
    for (const qss::AllocatedBlock& block : blocks_) {
      qss::EntryLinks links;
      if (block.words == qss::kEntryWords &&
          walk_.PeekEntry(block.id, &links)) {
        named.insert(links.child);
      }
    }
    for (const qss::AllocatedBlock& block : blocks_) {
      if (walk_.Reached(block.id) || named.count(block.id) != 0 ||
          Damage(block.id) != nullptr) {
        continue;
      }
      const bool stream = LooksLikeNode(block.id, qss::kStreamLayout);
      const bool storage_node = LooksLikeNode(block.id, qss::kStorageLayout);
      if (stream == storage_node) continue;
      AddChild(storage, 0, stream ? qss::kKindStream : qss::kKindStorage,
               block.id, storages);
      Spoil(&tree_.elements.back(),
            "no element list reaches it: its entry was lost with the "
            "image's end");
    }
  }

  // Whether `block`, not reached, holds a record of this layout with a
  // name, not deleted, whose data block or first entry is not reached
  // either and fits it.
  bool LooksLikeNode(int block, const qss::NodeLayout& layout) const {
    const int header = layout.name_length_word + 1;
    const int words = view_.Words(block);
    const int* node = view_.Block(block, header + 1);
    if (node == nullptr || node[layout.name_length_word] < 1 ||
        int64_t{header} + node[layout.name_length_word] != words ||
        node[layout.deleted_word] != 0) {
      return false;
    }
    const std::string name = qss::RawRecordName(node, words, layout);
    if (name.empty() || static_cast<int>((name.size() + 3) / 4) !=
                            node[layout.name_length_word]) {
      return false;
    }
    if (layout.kind == qss::kKindStorage) {
      const int first = walk_.FirstEntryOf(node);
      int previous = -1;
      return first == 0 ||
             (SoundOrphanEntry(first, &previous) && previous == 0);
    }
    const int data = node[qss::kStreamDataBlockWord];
    const uint64_t capacity_words =
        Unsigned(node[qss::kStreamCapacityWordsWord]);
    return data != 0 && !walk_.Reached(data) && view_.Words(data) >= 0 &&
           static_cast<uint64_t>(view_.Words(data)) >= capacity_words &&
           Unsigned(node[qss::kStreamSizeWord]) <=
               Unsigned(node[qss::kStreamCapacityBytesWord]) &&
           Unsigned(node[qss::kStreamCapacityBytesWord]) <= 4 * capacity_words;
  }

  // Whether `block` is an entry not reached yet, sound and holding a
  // child; its previous word comes back in `*previous`.
  bool SoundOrphanEntry(int block, int* previous) const {
    qss::EntryLinks links;
    if (!walk_.PeekEntry(block, &links) ||
        view_.Words(block) != qss::kEntryWords || walk_.Reached(block) ||
        Damage(block) != nullptr || links.child == 0 || !links.known_kind()) {
      return false;
    }
    *previous = links.previous;
    return true;
  }

  void ListElements(int storage, qss::ElementList list,
                    std::vector<int>* storages) {
    const std::string path = tree_.elements[storage].path;
    qss::ListStep step;
    while (list.Next(&step)) {
      const int entry = step.entry;
      std::string broken = Broken(step);
      if (broken.empty() && Damage(entry) != nullptr) {
        tree_.roles[entry] = "an entry of " + path;
        if (Damage(entry)->kind == QSS_PLEX_BLOCK_CUT) {
          broken = Describe(entry, "");
        } else {
          Spoil(&tree_.elements[storage], "entry " + Str(entry) +
                                              " of its element list " +
                                              Describe(entry, "links"));
        }
      }
      if (!broken.empty()) {
        list.GoOnAt(LoseRestOfList(storage, entry, broken));
        continue;
      }
      tree_.roles[entry] = "an entry of " + path;
      if (step.links.previous != step.expected_previous) {
        Spoil(&tree_.elements[storage],
              "entry " + Str(entry) + " of its element list links back to " +
                  Str(step.links.previous) + ", not " +
                  Str(step.expected_previous));
      }
      AddChild(storage, entry, step.links.kind, step.links.child, storages);
    }
  }

  // Why an entry the walk refused cannot be followed; "" when admitted.
  static std::string Broken(const qss::ListStep& step) {
    switch (step.admission) {
      case qss::Admission::kNotAllocated:
        return "is not allocated";
      case qss::Admission::kReachedAgain:
        return "is reached a second time";
      case qss::Admission::kTooShort:
        return "is too short for an entry";
      case qss::Admission::kAdmitted:
        break;
    }
    return "";
  }

  // Marks the list of `storage` broken at `entry`, which `broken` says why;
  // returns the entry the list goes on at, 0 when none is known.
  int LoseRestOfList(int storage, int entry, const std::string& broken) {
    const int after = EntryAfter(entry);
    SalvagedElement lost;
    lost.parent = storage;
    lost.path =
        Join(tree_.elements[storage].path, "<entry " + Str(entry) + ">");
    Lose(&lost, "its element list runs into block " + Str(entry) + ", which " +
                    broken +
                    (after != 0 ? "; the list goes on at entry " + Str(after) +
                                      ", which links back to it"
                                : ": the elements after it are not reached "
                                  "through the list"));
    tree_.elements.push_back(std::move(lost));
    if (Damage(entry) != nullptr &&
        std::find(cut_lists_.begin(), cut_lists_.end(), storage) ==
            cut_lists_.end()) {
      cut_lists_.push_back(storage);
    }
    return after;
  }

  // The entry after the broken entry `entry`: the one block not reached
  // yet that is sized as an entry and links back to it. 0 when there is no
  // such block, or more than one.
  int EntryAfter(int entry) {
    if (links_back_.empty()) {
      for (const qss::AllocatedBlock& block : blocks_) {
        qss::EntryLinks links;
        if (block.words != qss::kEntryWords ||
            !walk_.PeekEntry(block.id, &links) || links.previous == 0) {
          continue;
        }
        links_back_.emplace(links.previous, block.id);
      }
      links_back_.emplace(0, 0);  // built
    }
    int after = 0;
    const auto [first, last] = links_back_.equal_range(entry);
    for (auto candidate = first; candidate != last; ++candidate) {
      if (walk_.Reached(candidate->second)) continue;
      if (after != 0) return 0;
      after = candidate->second;
    }
    return after;
  }

  static std::string Join(const std::string& parent, const std::string& name) {
    return (parent == "/" ? "/" : parent + "/") + name;
  }

  void AddChild(int storage, int entry, int kind, int child,
                std::vector<int>* storages) {
    SalvagedElement element;
    element.parent = storage;
    element.kind = kind;
    const std::string& parent_path = tree_.elements[storage].path;
    if (kind != qss::kKindStorage && kind != qss::kKindStream) {
      element.kind = -1;
      element.path = Join(parent_path, "<entry " + Str(entry) + ">");
      Lose(&element, "its entry's kind is " + Str(kind) +
                         ", neither a storage nor a stream");
      tree_.elements.push_back(std::move(element));
      return;
    }
    const qss::NodeLayout& layout = qss::LayoutOf(kind);
    const int words = view_.Words(child);
    const int* readable = view_.Block(child, layout.name_length_word + 1);
    if (readable != nullptr) {
      element.name = qss::RawRecordName(readable, words, layout);
    }
    const std::string shown = readable == nullptr ? "<block " + Str(child) + ">"
                              : element.name.empty()
                                  ? "(no name)"
                                  : qss::RecordName(readable, words, layout);
    element.path = Join(parent_path, shown);
    const int* node = Admit(child, &element);
    if (node != nullptr && kind == qss::kKindStream) ReadData(node, &element);
    tree_.elements.push_back(std::move(element));
    if (node != nullptr && kind == qss::kKindStorage) {
      storages->push_back(static_cast<int>(tree_.elements.size()) - 1);
    }
  }

  // What a stream's data block gives: its bytes up to the size its record
  // claims, as far as the block holds them and the image was read.
  void ReadData(const int* node, SalvagedElement* stream) {
    const int data = node[qss::kStreamDataBlockWord];
    stream->size = Unsigned(node[qss::kStreamSizeWord]);
    const int words = view_.Words(data);
    std::string missing;
    if (data == 0) {
      missing = "it has no data block";
    } else if (const qss::Admission admission = walk_.AdmitBlock(data, 0);
               admission == qss::Admission::kNotAllocated) {
      missing = "its data block " + Str(data) + " is not allocated";
    } else if (admission == qss::Admission::kReachedAgain) {
      missing = "its data block " + Str(data) + " belongs to another element";
    } else {
      stream->data = data;
      tree_.roles[data] = "the data of " + stream->path;
      uint64_t readable = 4 * static_cast<uint64_t>(words);
      const BlockDamage* damage = Damage(data);
      if (damage != nullptr && damage->kind == QSS_PLEX_BLOCK_CUT) {
        readable = std::min(readable, damage->bytes_read);
        missing = "the image ends inside its data";
      } else if (damage != nullptr) {
        Spoil(stream, "its data block " + Str(data) +
                          " fails its checksum, so some of its bytes are "
                          "wrong");
      } else {
        missing = "its data block holds only " + Str(readable) + " bytes";
      }
      stream->kept = std::min(stream->size, readable);
    }
    if (stream->kept < stream->size) {
      Spoil(stream, "bytes " + Str(stream->kept) + " to " +
                        Str(stream->size - 1) + " are lost: " + missing);
    }
  }

  const std::vector<qss::AllocatedBlock>& blocks_;
  qss::RecordWalk walk_;
  const qss::PlexView& view_;
  const DamageMap& damage_;
  std::unordered_multimap<int, int> links_back_;  // previous word to entry
  std::vector<int> cut_lists_;  // storages whose list a cut block ends
  SalvagedTree tree_;
};

}  // namespace

SalvagedTree SalvageTree(const std::vector<qss::AllocatedBlock>& blocks,
                         const DamageMap& damage) {
  return TreeSalvager(blocks, damage).Run();
}

std::string DamageText(const BlockDamage& damage, int words) {
  if (damage.kind == QSS_PLEX_BLOCK_CHECKSUM) return "fails its checksum";
  return "cut off by the image's end after " + Str(damage.bytes_read) +
         " of its " + Str(4 * static_cast<uint64_t>(words)) + " bytes";
}

const char* FateName(Fate fate) {
  switch (fate) {
    case Fate::kKept:
      return "kept";
    case Fate::kDamaged:
      return "damaged";
    default:
      return "lost";
  }
}

}  // namespace qsplex
