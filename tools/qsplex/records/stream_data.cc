#include "tools/qsplex/records/stream_data.h"

#include <utility>

#include "check/tree_check.h"
#include "platform/com.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/os/system.h"
#include "tools/qsplex/output/text.h"
#include "tools/qsplex/records/salvage.h"

namespace qsplex {

namespace {

// The path of the element `node` names under `parent`, shown as the
// library's names are.
std::string Below(const std::string& parent, const qss::NodeRecord& node,
                  const qss::NodeLayout& layout) {
  const std::string ansi =
      qss::RawRecordName(node.words, node.block_words, layout);
  std::vector<OLECHAR> wide(ansi.size() + 1);
  qss::AnsiToWide(ansi.c_str(), wide.data(), static_cast<int>(wide.size()));
  return (parent == "/" ? "" : parent) + "/" + ShownName(wide.data());
}

// An element admitted from a storage's list: its record, kind and layout.
struct Child {
  qss::NodeRecord node;
  int kind = 0;
  const qss::NodeLayout* layout = nullptr;
};

// The next child admitted from `list`; false at the list's end. Entries
// and nodes not admitted are passed over.
bool NextChild(qss::RecordWalk* walk, qss::ElementList* list, Child* child) {
  qss::ListStep step;
  while (list->Next(&step)) {
    if (step.admission != qss::Admission::kAdmitted ||
        !step.links.known_kind() || step.links.child == 0) {
      continue;
    }
    child->kind = step.links.kind;
    child->layout = &qss::LayoutOf(step.links.kind);
    child->node = walk->AdmitNode(step.links.child, *child->layout);
    if (child->node.admission == qss::Admission::kAdmitted) return true;
  }
  return false;
}

// The node named `ansi` in the list of `storage`, or one not admitted.
qss::NodeRecord FindChild(qss::RecordWalk* walk, const qss::NodeRecord& storage,
                          const std::string& ansi, int* kind) {
  qss::ElementList list = walk->ListOf(storage);
  Child child;
  while (NextChild(walk, &list, &child)) {
    const qss::NodeRecord& node = child.node;
    if (node.sized_as_named() && node.name_words > 0 &&
        qss::RawRecordName(node.words, node.block_words, *child.layout) ==
            ansi) {
      *kind = child.kind;
      return node;
    }
  }
  return qss::NodeRecord{};
}

}  // namespace

bool StreamDataUnder(const std::vector<qss::AllocatedBlock>& blocks,
                     const std::vector<WideString>& names,
                     const std::string& path, std::vector<StreamData>* out) {
  qss::RecordWalk walk(blocks);
  int root = 0;
  if (!walk.ReadAnchor(&root) || root == 0) return false;
  qss::NodeRecord node = walk.AdmitNode(root, qss::kStorageLayout);
  int kind = qss::kKindStorage;
  std::vector<char> ansi(4096);  // longer than any name the library takes
  for (const WideString& name : names) {
    if (node.admission != qss::Admission::kAdmitted ||
        kind != qss::kKindStorage ||
        qss::WideToAnsi(name.c_str(), ansi.data(),
                        static_cast<int>(ansi.size())) == 0) {
      return false;
    }
    node = FindChild(&walk, node, ansi.data(), &kind);
  }
  if (node.admission != qss::Admission::kAdmitted) return false;
  if (kind == qss::kKindStream) {
    out->push_back({path, node.words[qss::kStreamDataBlockWord]});
    return true;
  }
  // A storage: every stream under it, each list in its order.
  std::vector<std::pair<qss::NodeRecord, std::string>> storages{{node, path}};
  while (!storages.empty()) {
    const auto [storage, at] = storages.back();
    storages.pop_back();
    qss::ElementList list = walk.ListOf(storage);
    Child child;
    while (NextChild(&walk, &list, &child)) {
      const std::string child_path = Below(at, child.node, *child.layout);
      if (child.kind == qss::kKindStream) {
        out->push_back(
            {child_path, child.node.words[qss::kStreamDataBlockWord]});
      } else {
        storages.emplace_back(child.node, child_path);
      }
    }
  }
  return true;
}

bool DamageInDataOnly(const std::vector<qss::AllocatedBlock>& blocks,
                      const DamageMap& damage) {
  if (!qss::CheckTree(blocks).empty()) return false;
  const SalvagedTree tree = SalvageTree(blocks, damage);
  size_t damaged_data = 0;
  for (const SalvagedElement& element : tree.elements) {
    const bool data_damaged =
        element.kind == qss::kKindStream && damage.count(element.data) != 0;
    if (data_damaged) ++damaged_data;
    if (element.fate == Fate::kLost ||
        (element.fate == Fate::kDamaged && !data_damaged)) {
      return false;
    }
  }
  return damaged_data == damage.size();
}

bool DataDamaged(const Element& e) {
  std::vector<StreamData> streams;
  if (!StreamDataUnder(AllocatedBlocks(), e.names, e.path(), &streams)) {
    return false;
  }
  for (const StreamData& stream : streams) {
    if (stream.block != 0 &&
        (DamagedData().count(stream.block) != 0 ||
         QssPlex_VerifyBlock(stream.block) != QSS_PLEX_LOADED)) {
      return true;
    }
  }
  return false;
}

bool DataReadable(const Context& c, const Element& e) {
  std::vector<StreamData> streams;
  const std::vector<qss::AllocatedBlock> blocks = AllocatedBlocks();
  if (!StreamDataUnder(blocks, e.names, e.path(), &streams)) {
    // The library found it where the records walk did not: nothing read
    // goes unverified, so every block is verified before it is read.
    for (const qss::AllocatedBlock& block : blocks) {
      if (QssPlex_VerifyBlock(block.id) == QSS_PLEX_LOADED) continue;
      c.Fail(e.path(), "block " + std::to_string(block.id) +
                           " of the image cannot be verified; 'qsplex check " +
                           c.image + "' lists the damage");
      return false;
    }
    return true;
  }
  bool readable = true;
  for (const StreamData& stream : streams) {
    if (stream.block == 0) continue;
    const auto found = DamagedData().find(stream.block);
    std::string what;
    if (found != DamagedData().end()) {
      what = DamageText(found->second, QssPlex_BlockWords(stream.block));
    } else {
      // A block the load mapped unverified is verified here, before its
      // bytes are read; one that cannot be verified is not read either.
      const int verified = QssPlex_VerifyBlock(stream.block);
      if (verified == QSS_PLEX_LOADED) continue;
      if (verified != QSS_PLEX_DAMAGED) {
        c.Fail(stream.path,
               "cannot verify its data (block " + std::to_string(stream.block) +
                   "): cannot read " + c.image + ": " + SystemReason());
        readable = false;
        continue;
      }
      what = "fails its checksum";
    }
    c.Fail(stream.path, "its data is damaged (block " +
                            std::to_string(stream.block) + " " + what +
                            "); 'qsplex check " + c.image +
                            "' lists the damage, 'qsplex recover " + c.image +
                            " NEW' keeps what can be read");
    readable = false;
  }
  return readable;
}

}  // namespace qsplex
