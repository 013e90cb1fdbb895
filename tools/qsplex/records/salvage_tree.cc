// The salvaging walk over a damaged tree's records, and the new tree made
// from what it keeps.
//
// The new tree is made through the library in the same plex, beside the old
// records: the root anchor is cleared so that the library makes a fresh
// root, each kept element is made under its old name, in its old order, and
// every stream's bytes are copied from its old data block, which is freed
// as soon as it is copied so that the plex never holds much more than the
// image. Last, every block of the old tree is freed.
#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "qsstorage/qsstorage.h"
#include "records/dms.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {
namespace {

std::string Str(uint64_t value) { return std::to_string(value); }

uint64_t Unsigned(int word) { return static_cast<uint32_t>(word); }

// The tree's walk over a plex that may hold anything: every block is read
// through the view, once at most, and an element counts only when its
// record verifies.
class TreeSalvager {
 public:
  TreeSalvager(const std::vector<qss::AllocatedBlock>& blocks,
               const DamageMap& damage)
      : blocks_(blocks), view_(blocks), damage_(damage) {}

  SalvagedTree Run() {
    reached_ = {1, qss::kAnchorBlock};
    tree_.roles[1] = "the host's own block";
    tree_.roles[qss::kAnchorBlock] = "the host's block holding the root anchor";
    SalvagedElement root;
    root.kind = qss::kKindStorage;
    root.name = "Root";
    root.path = "/";
    const int* anchor = view_.Block(qss::kAnchorBlock, qss::kAnchorWord + 1);
    if (anchor == nullptr) {
      Lose(&root, "block 2 cannot hold the root anchor");
    } else if (const BlockDamage* damage = Damage(qss::kAnchorBlock);
               damage != nullptr && damage->kind == QSS_PLEX_BLOCK_CUT) {
      Lose(&root,
           "the root anchor's block 2 " + Describe(qss::kAnchorBlock, ""));
    } else if (anchor[qss::kAnchorWord] != 0 &&
               Admit(anchor[qss::kAnchorWord], &root) != nullptr &&
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
        ListElements(storage, node[qss::kStorageFirstEntryWord], 0, &storages);
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
    if (damage->kind == QSS_PLEX_BLOCK_CHECKSUM) {
      return "fails its checksum, so its " + std::string(what) +
             " may be wrong";
    }
    return "is cut off by the image's end after " + Str(damage->bytes_read) +
           " of its " + Str(4 * static_cast<uint64_t>(view_.Words(block))) +
           " bytes";
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
    const qss::NodeLayout& layout = qss::LayoutOf(element->kind);
    const int header = layout.name_length_word + 1;
    const int words = view_.Words(id);
    const std::string record = "its record, block " + Str(id) + ",";
    if (words < 0) {
      Lose(element, record + " is not allocated");
      return nullptr;
    }
    if (!reached_.insert(id).second) {
      Lose(element, record + " belongs to another element too");
      return nullptr;
    }
    element->node = id;
    tree_.roles[id] = "the record of " + element->path;
    if (words < header) {
      Lose(element,
           record + " has " + Str(words) + " words, fewer than " + Str(header));
      return nullptr;
    }
    const int* node = view_.Block(id, header);
    const int name_words = node[layout.name_length_word];
    if (name_words < 0 || int64_t{header} + name_words != words) {
      Lose(element, record + " holds " + Str(words) +
                        " words, unlike its name length " + Str(name_words));
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
    if (node[layout.deleted_word] != 0) {
      Spoil(element, record + " is marked deleted");
    }
    if (element->kind == qss::kKindStorage) {
      std::memcpy(&element->clsid, node + qss::kStorageClassIdWord,
                  sizeof element->clsid);
    }
    return node;
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
      ListElements(storage, head, previous, storages);
    }
  }

  // Records not reached that no entry names but that verify as a node,
  // sound and with their data block not reached either: elements whose
  // entries the cut took (an entry is made after its element's blocks).
  void AdoptNodes(int storage, std::vector<int>* storages) {
    std::unordered_set<int> named;
    for (const qss::AllocatedBlock& block : blocks_) {
      const int* words = view_.Block(block.id, qss::kEntryWords);
      if (block.words == qss::kEntryWords) {
        named.insert(words[qss::kEntryChildWord]);
      }
    }
    for (const qss::AllocatedBlock& block : blocks_) {
      if (reached_.count(block.id) != 0 || named.count(block.id) != 0 ||
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
      const int first = node[qss::kStorageFirstEntryWord];
      int previous = -1;
      return first == 0 ||
             (SoundOrphanEntry(first, &previous) && previous == 0);
    }
    const int data = node[qss::kStreamDataBlockWord];
    const uint64_t capacity_words =
        Unsigned(node[qss::kStreamCapacityWordsWord]);
    return data != 0 && reached_.count(data) == 0 && view_.Words(data) >= 0 &&
           static_cast<uint64_t>(view_.Words(data)) >= capacity_words &&
           Unsigned(node[qss::kStreamSizeWord]) <=
               Unsigned(node[qss::kStreamCapacityBytesWord]) &&
           Unsigned(node[qss::kStreamCapacityBytesWord]) <= 4 * capacity_words;
  }

  // Whether `block` is an entry not reached yet, sound and holding a
  // child; its previous word comes back in `*previous`.
  bool SoundOrphanEntry(int block, int* previous) const {
    const int* words = view_.Block(block, qss::kEntryWords);
    if (words == nullptr || view_.Words(block) != qss::kEntryWords ||
        reached_.count(block) != 0 || Damage(block) != nullptr ||
        words[qss::kEntryChildWord] == 0 ||
        (words[qss::kEntryKindWord] != qss::kKindStorage &&
         words[qss::kEntryKindWord] != qss::kKindStream)) {
      return false;
    }
    *previous = words[qss::kEntryPreviousWord];
    return true;
  }

  void ListElements(int storage, int first, int previous,
                    std::vector<int>* storages) {
    const std::string path = tree_.elements[storage].path;
    for (int entry = first; entry != 0;) {
      const int words = view_.Words(entry);
      std::string broken;
      if (words < qss::kEntryWords) {
        broken = words < 0 ? "is not allocated" : "is too short for an entry";
      } else if (!reached_.insert(entry).second) {
        broken = "is reached a second time";
      } else if (const BlockDamage* damage = Damage(entry)) {
        tree_.roles[entry] = "an entry of " + path;
        if (damage->kind == QSS_PLEX_BLOCK_CUT) {
          broken = Describe(entry, "");
        } else {
          Spoil(&tree_.elements[storage], "entry " + Str(entry) +
                                              " of its element list " +
                                              Describe(entry, "links"));
        }
      }
      if (!broken.empty()) {
        const int after = EntryAfter(entry);
        SalvagedElement lost;
        lost.parent = storage;
        lost.path = Join(path, "<entry " + Str(entry) + ">");
        Lose(&lost,
             "its element list runs into block " + Str(entry) + ", which " +
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
        previous = entry;
        entry = after;
        continue;
      }
      tree_.roles[entry] = "an entry of " + path;
      const int* links = view_.Block(entry, qss::kEntryWords);
      if (links[qss::kEntryPreviousWord] != previous) {
        Spoil(&tree_.elements[storage],
              "entry " + Str(entry) + " of its element list links back to " +
                  Str(links[qss::kEntryPreviousWord]) + ", not " +
                  Str(previous));
      }
      AddChild(storage, entry, links[qss::kEntryKindWord],
               links[qss::kEntryChildWord], storages);
      previous = entry;
      entry = links[qss::kEntryNextWord];
    }
  }

  // The entry after the broken entry `entry`: the one block not reached
  // yet that is sized as an entry and links back to it. 0 when there is no
  // such block, or more than one.
  int EntryAfter(int entry) {
    if (links_back_.empty()) {
      for (const qss::AllocatedBlock& block : blocks_) {
        const int* words = view_.Block(block.id, qss::kEntryWords);
        if (block.words != qss::kEntryWords || words == nullptr ||
            words[qss::kEntryPreviousWord] == 0) {
          continue;
        }
        links_back_.emplace(words[qss::kEntryPreviousWord], block.id);
      }
      links_back_.emplace(0, 0);  // built
    }
    int after = 0;
    const auto [first, last] = links_back_.equal_range(entry);
    for (auto candidate = first; candidate != last; ++candidate) {
      if (reached_.count(candidate->second) != 0) continue;
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
    } else if (words < 0) {
      missing = "its data block " + Str(data) + " is not allocated";
    } else if (!reached_.insert(data).second) {
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
  const qss::PlexView view_;
  const DamageMap& damage_;
  std::unordered_multimap<int, int> links_back_;  // previous word to entry
  std::vector<int> cut_lists_;  // storages whose list a cut block ends
  std::unordered_set<int> reached_;
  SalvagedTree tree_;
};

constexpr size_t kChunkBytes = 64 * 1024;

// The words of `block`, located afresh: making the new tree allocates.
const unsigned char* BlockBytes(int block) {
  return reinterpret_cast<const unsigned char*>(ib0 + DMS_LOCATI(&block));
}

HRESULT WideName(const std::string& ansi, WideString* out) {
  std::vector<OLECHAR> wide(ansi.size() + 1);
  if (qss::AnsiToWide(ansi.c_str(), wide.data(),
                      static_cast<int>(wide.size())) == 0 &&
      !ansi.empty()) {
    return STG_E_INVALIDNAME;
  }
  *out = wide.data();
  return S_OK;
}

// Copies the kept bytes of `element`'s old data block into `stream`.
HRESULT CopyData(const SalvagedElement& element, IStream* stream) {
  std::vector<unsigned char> chunk(kChunkBytes);
  for (uint64_t at = 0; at < element.kept;) {
    const ULONG bytes =
        static_cast<ULONG>(std::min<uint64_t>(kChunkBytes, element.kept - at));
    std::memcpy(chunk.data(), BlockBytes(element.data) + at, bytes);
    ULONG written = 0;
    const HRESULT hr = stream->Write(chunk.data(), bytes, &written);
    if (FAILED(hr)) return hr;
    if (written != bytes) return STG_E_MEDIUMFULL;
    at += bytes;
  }
  return S_OK;
}

// Makes `element` in `parent`; a storage comes back in `*storage`.
HRESULT Make(IStorage* parent, const SalvagedElement& element,
             Ref<IStorage>* storage) {
  WideString name;
  HRESULT hr = WideName(element.name, &name);
  if (FAILED(hr)) return hr;
  if (element.kind == qss::kKindStorage) {
    hr = parent->CreateStorage(name.c_str(), kReadWrite, 0, 0, storage->Out());
    if (SUCCEEDED(hr)) hr = (*storage)->SetClass(element.clsid);
    return hr;
  }
  Ref<IStream> stream;
  hr = parent->CreateStream(name.c_str(), kReadWrite, 0, 0, stream.Out());
  if (SUCCEEDED(hr)) hr = CopyData(element, stream.get());
  if (FAILED(hr) && stream) {
    stream.Reset();
    parent->DestroyElement(name.c_str());
  }
  return hr;
}

}  // namespace

void RebuildTree(SalvagedTree* tree,
                 const std::vector<qss::AllocatedBlock>& old_blocks) {
  std::vector<SalvagedElement>& elements = tree->elements;
  int anchor_block = qss::kAnchorBlock;
  ib0[DMS_LOCATI(&anchor_block) + qss::kAnchorWord] = 0;
  std::vector<Ref<IStorage>> storages(elements.size());
  storages[0] = Ref<IStorage>(GetRootIStorage());
  if (elements[0].fate != Fate::kLost && storages[0]) {
    storages[0]->SetClass(elements[0].clsid);
  }
  std::vector<std::vector<int>> children(elements.size());
  for (size_t i = 1; i < elements.size(); ++i) {
    children[elements[i].parent].push_back(static_cast<int>(i));
  }
  std::unordered_set<int> freed;
  for (size_t s = 0; s < elements.size(); ++s) {
    // Lists run newest first: the oldest is made first to keep the order.
    for (auto child = children[s].rbegin(); child != children[s].rend();
         ++child) {
      SalvagedElement& element = elements[*child];
      if (element.fate == Fate::kLost) continue;
      if (!storages[s]) {
        element.fate = Fate::kLost;
        element.problems.push_back("its storage could not be made");
        continue;
      }
      const HRESULT hr = Make(storages[s].get(), element, &storages[*child]);
      if (FAILED(hr)) {
        element.fate = Fate::kLost;
        element.problems.push_back("cannot be made: " + DescribeResult(hr));
      }
      if (element.data != 0) {
        DMS_ATFREE(&element.data);
        freed.insert(element.data);
      }
    }
    storages[s].Reset();
  }
  for (const qss::AllocatedBlock& block : old_blocks) {
    if (block.id == 1 || block.id == qss::kAnchorBlock ||
        freed.count(block.id) != 0) {
      continue;
    }
    DMS_ATFREE(&block.id);
  }
}

SalvagedTree SalvageTree(const std::vector<qss::AllocatedBlock>& blocks,
                         const DamageMap& damage) {
  return TreeSalvager(blocks, damage).Run();
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
