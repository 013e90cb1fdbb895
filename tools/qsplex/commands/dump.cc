#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "check/tree_check.h"
#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/tree/path.h"

namespace qsplex {
namespace {

using qss::kAnchorBlock;
using qss::kAnchorWord;

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

// "fails its checksum", "cut off by the image's end after N of its M bytes".
std::string DamageText(const BlockDamage& damage, int words) {
  if (damage.kind == QSS_PLEX_BLOCK_CHECKSUM) return "fails its checksum";
  return "cut off by the image's end after " +
         std::to_string(damage.bytes_read) + " of its " +
         std::to_string(4 * static_cast<uint64_t>(words)) + " bytes";
}

// A line under a record or data block that the image holds damaged.
void PrintDamage(const DamageMap& damage, const qss::PlexView& view, int block,
                 const std::string& indent) {
  const auto found = damage.find(block);
  if (found == damage.end()) return;
  std::printf("%s  !! block %d %s\n", indent.c_str(), block,
              DamageText(found->second, view.Words(block)).c_str());
}

// A node record, one line per word; the name words on one line.
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

// The records of the elements at and below `top`, parents first, each
// element list in its order. The walk reads every block through the view
// and visits it once, so a damaged tree prints as far as it goes. Returns
// the number of nodes printed.
int DumpRecords(const qss::PlexView& view, const DamageMap& damage, int root,
                const std::string& top) {
  struct Item {
    int id;
    int kind;  // a node kind, or -1 for an entry
    std::string path;
    int depth;
  };
  const int top_depth = static_cast<int>(
      top == "/" ? 0 : std::count(top.begin(), top.end(), '/'));
  std::vector<Item> stack = {{root, qss::kKindStorage, "/", 0}};
  std::unordered_set<int> seen;
  int printed = 0;
  while (!stack.empty()) {
    const Item item = stack.back();
    stack.pop_back();
    const bool shown = Within(item.path, top);
    const std::string indent(2 * std::max(0, item.depth - top_depth), ' ');
    const int words = view.Words(item.id);
    const int* block = view.Block(
        item.id, item.kind < 0 ? qss::kEntryWords
                               : qss::LayoutOf(item.kind).name_length_word + 1);
    if (block == nullptr || !seen.insert(item.id).second) {
      if (shown) {
        std::printf(
            "%sblock %d: %s\n", indent.c_str(), item.id,
            block == nullptr ? "not allocated, or too short" : "shown already");
      }
      continue;
    }
    if (item.kind < 0) {
      const int kind = block[qss::kEntryKindWord];
      const int child = block[qss::kEntryChildWord];
      if (shown) {
        std::printf(
            "%sElementEntry %d: next %d, previous %d, kind %d, child %d\n",
            indent.c_str(), item.id, block[qss::kEntryNextWord],
            block[qss::kEntryPreviousWord], kind, child);
        PrintDamage(damage, view, item.id, indent);
      }
      if (kind == qss::kKindStorage || kind == qss::kKindStream) {
        stack.push_back({child, kind, item.path, item.depth + 1});
      }
      continue;
    }
    if (shown) {
      PrintNode(block, item.id, words, item.kind, item.path, indent);
      PrintDamage(damage, view, item.id, indent);
      ++printed;
    }
    if (item.kind == qss::kKindStream) {
      if (shown) PrintData(view, damage, block, indent);
      continue;
    }
    if (!shown && !Within(top, item.path)) continue;
    // Entries go on the stack in reverse so that they print in list order.
    std::vector<Item> entries;
    std::unordered_set<int> listed;
    for (int entry = block[qss::kStorageFirstEntryWord];
         entry != 0 && listed.insert(entry).second;) {
      const int* words_of = view.Block(entry, qss::kEntryWords);
      const int kind = words_of != nullptr ? words_of[qss::kEntryKindWord] : -1;
      const int child =
          words_of != nullptr ? words_of[qss::kEntryChildWord] : 0;
      const int* node =
          kind == qss::kKindStorage || kind == qss::kKindStream
              ? view.Block(child, qss::LayoutOf(kind).name_length_word + 1)
              : nullptr;
      const std::string name =
          node != nullptr
              ? qss::RecordName(node, view.Words(child), qss::LayoutOf(kind))
              : "<block " + std::to_string(child) + ">";
      entries.push_back({entry, -1,
                         (item.path == "/" ? "/" : item.path + "/") + name,
                         item.depth});
      entry = words_of != nullptr ? words_of[qss::kEntryNextWord] : 0;
    }
    stack.insert(stack.end(), entries.rbegin(), entries.rend());
  }
  return printed;
}

struct ElementCounts {
  size_t storages = 0, streams = 0, unnamed = 0;
};

// The elements below the root, by their records: also those no name finds.
// Only for a tree the checker found sound, so every record is there and no
// list loops.
ElementCounts CountElements(const qss::PlexView& view) {
  ElementCounts counts;
  std::vector<int> storages;
  const int root = view.Block(kAnchorBlock, 0)[kAnchorWord];
  if (root != 0) storages.push_back(root);
  while (!storages.empty()) {
    const int* storage =
        view.Block(storages.back(), qss::kStorageFirstEntryWord + 1);
    storages.pop_back();
    for (int entry = storage[qss::kStorageFirstEntryWord]; entry != 0;) {
      const int* words = view.Block(entry, qss::kEntryWords);
      const int kind = words[qss::kEntryKindWord];
      const int child = words[qss::kEntryChildWord];
      entry = words[qss::kEntryNextWord];
      if (child == 0 ||
          (kind != qss::kKindStorage && kind != qss::kKindStream)) {
        continue;
      }
      const qss::NodeLayout& layout = qss::LayoutOf(kind);
      const int* node = view.Block(child, layout.name_length_word + 1);
      if (qss::RecordName(node, view.Words(child), layout).empty()) {
        ++counts.unnamed;
      }
      if (kind == qss::kKindStorage) {
        ++counts.storages;
        storages.push_back(child);
      } else {
        ++counts.streams;
      }
    }
  }
  return counts;
}

const char* FindingKindName(qss::FindingKind kind) {
  switch (kind) {
    case qss::FindingKind::kAnchor:
      return "anchor";
    case qss::FindingKind::kLink:
      return "link";
    case qss::FindingKind::kNode:
      return "node";
    case qss::FindingKind::kName:
      return "name";
    case qss::FindingKind::kStream:
      return "stream";
    case qss::FindingKind::kDeleted:
      return "deleted";
    case qss::FindingKind::kLeak:
      return "leak";
  }
  return "other";
}

// What check learned of an image. PrintCheckReport alone turns it into
// text or JSON, so whatever check learns to tell goes through one place.
struct CheckReport {
  struct Damage {
    int block;
    std::string problem;  // what is wrong with it
    std::string holds;    // the record or data of which element
  };
  struct Spoiled {
    std::string path;
    const char* fate;  // "damaged" or "lost"
    std::string problem;
  };
  std::vector<Damage> damage;
  // Whether an earlier image loaded in place of the newest (its blocks'
  // damage is in `damage`).
  ImageDamage image;
  std::vector<Spoiled> spoiled;
  std::vector<qss::TreeFinding> findings;
  bool counted = false;  // the tree was sound, and its elements counted
  ElementCounts counts;
  size_t blocks = 0;
};

void WriteCheckJson(const Context& c, const CheckReport& report,
                    JsonWriter* json) {
  json->BeginObject().Key("image").String(c.image);
  json->Key("consistent")
      .Bool(report.findings.empty() && report.damage.empty() &&
            !report.image.older_image());
  json->Key("changes_lost").Number(report.image.changes_lost);
  json->Key("header_damaged").Bool(report.image.header_damaged);
  json->Key("newest_slot_damaged").Bool(report.image.newest_slot_damaged);
  json->Key("damaged_blocks").BeginArray();
  for (const CheckReport::Damage& damage : report.damage) {
    json->BeginObject().Key("block").Signed(damage.block);
    json->Key("problem").String(damage.problem);
    json->Key("holds").String(damage.holds).EndObject();
  }
  json->EndArray().Key("damaged_elements").BeginArray();
  for (const CheckReport::Spoiled& spoiled : report.spoiled) {
    json->BeginObject().Key("path").String(spoiled.path);
    json->Key("fate").String(spoiled.fate);
    json->Key("problem").String(spoiled.problem).EndObject();
  }
  json->EndArray();
  json->Key("findings").BeginArray();
  for (const qss::TreeFinding& finding : report.findings) {
    json->BeginObject().Key("kind").String(FindingKindName(finding.kind));
    json->Key("location").String(finding.location);
    json->Key("message").String(finding.message).EndObject();
  }
  json->EndArray();
  const size_t counts[] = {report.counts.storages, report.counts.streams,
                           report.counts.unnamed};
  const char* const keys[] = {"storages", "streams", "unnamed"};
  for (int k = 0; k < 3; ++k) {
    json->Key(keys[k]);
    if (report.counted) {
      json->Number(counts[k]);
    } else {
      json->Null();
    }
  }
  json->Key("blocks").Number(report.blocks).EndObject();
}

// Prints `report`; returns check's exit code: 1 when there is a finding.
int PrintCheckReport(const Context& c, const CheckReport& report) {
  const bool damaged = !report.damage.empty() || report.image.older_image();
  const int status = report.findings.empty() && !damaged ? 0 : kExitFailure;
  if (c.json) {
    JsonWriter json;
    WriteCheckJson(c, report, &json);
    return PrintJson(c, json, status);
  }
  if (report.image.older_image()) {
    std::printf("%s: %s\n", c.image.c_str(),
                OlderImageText(report.image).c_str());
  }
  for (const CheckReport::Damage& damage : report.damage) {
    std::printf("block %d: %s: %s\n", damage.block, damage.problem.c_str(),
                ShownPath(damage.holds).c_str());
  }
  for (const CheckReport::Spoiled& spoiled : report.spoiled) {
    std::printf("%s: %s: %s\n", ShownPath(spoiled.path).c_str(), spoiled.fate,
                spoiled.problem.c_str());
  }
  for (const qss::TreeFinding& finding : report.findings) {
    std::printf("%s: %s\n", ShownPath(finding.location).c_str(),
                finding.message.c_str());
  }
  if (damaged) {
    const std::string older =
        report.image.header_damaged        ? "header damaged, "
        : report.image.newest_slot_damaged ? "newest header slot damaged, "
        : report.image.changes_lost > 0
            ? "changes of " + Count(report.image.changes_lost, "save") +
                  " lost, "
            : "";
    std::printf(
        "%s: %s%s, %s; 'qsplex recover %s NEW' keeps what can be read\n",
        c.image.c_str(), older.c_str(),
        Count(report.damage.size(), "damaged block").c_str(),
        Count(report.findings.size(), "finding").c_str(), c.image.c_str());
    return status;
  }
  if (!report.findings.empty()) {
    std::printf("%s: %s\n", c.image.c_str(),
                Count(report.findings.size(), "finding").c_str());
    return status;
  }
  const std::string unnamed =
      report.counts.unnamed == 0
          ? ""
          : " (" + std::to_string(report.counts.unnamed) + " without a name)";
  std::printf("%s: the tree is consistent: %s, %s%s, %s\n", c.image.c_str(),
              Count(report.counts.storages, "storage").c_str(),
              Count(report.counts.streams, "stream").c_str(), unnamed.c_str(),
              Count(report.blocks, "block").c_str());
  return status;
}

// What the damaged blocks hold and which elements they spoil.
void AddDamage(const DamageMap& damage, const SalvagedTree& salvaged,
               const qss::PlexView& view, CheckReport* report) {
  for (const auto& [block, what] : damage) {
    const auto role = salvaged.roles.find(block);
    report->damage.push_back({block, DamageText(what, view.Words(block)),
                              role != salvaged.roles.end()
                                  ? role->second
                                  : "not reached from the root"});
  }
  for (const SalvagedElement& element : salvaged.elements) {
    if (element.fate == Fate::kKept) continue;
    for (const std::string& problem : element.problems) {
      report->spoiled.push_back(
          {element.path, FateName(element.fate), problem});
    }
  }
}

// The root's status and record as info --json gives them.
void WriteRootJson(const STATSTG& stat, const qss::PlexView& view, int root_id,
                   JsonWriter* json) {
  json->Key("root").BeginObject().Key("name").String(stat.pwcsName);
  json->Key("mode").Number(stat.grfMode);
  json->Key("class_id").String(FormatClassId(stat.clsid));
  json->Key("block").Signed(root_id).Key("record").BeginArray();
  const int* words = view.Block(root_id, 0);
  for (int k = 0; k < view.Words(root_id); ++k) json->Signed(words[k]);
  json->EndArray().EndObject();
}

}  // namespace

int RunInfo(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  const qss::PlexView view(AllocatedBlocks());
  const int root_id = view.Block(kAnchorBlock, 0)[kAnchorWord];
  JsonWriter json;
  json.BeginObject().Key("image").String(c.image);
  if (!c.json) std::printf("image:       %s\n", c.image.c_str());
  if (root_id == 0 && c.json) {
    json.Key("root").Null();
  } else if (root_id == 0) {
    std::printf("root:        none (cleared; the next change makes one)\n");
  } else {
    Ref<IStorage> root(GetRootIStorage());
    if (!root) return c.Fail("/", E_OUTOFMEMORY);
    STATSTG stat = {};
    const HRESULT hr = root->Stat(&stat, STATFLAG_DEFAULT);
    if (FAILED(hr)) return c.Fail("/", hr);
    const qss::PlexView opened(AllocatedBlocks());
    if (c.json) {
      WriteRootJson(stat, opened, root_id, &json);
    } else {
      std::printf("root:        \"%s\", mode %s, class id %s\n",
                  ShownName(stat.pwcsName).c_str(),
                  DescribeMode(stat.grfMode).c_str(),
                  FormatClassId(stat.clsid).c_str());
      std::printf("root anchor: block %d, word %d = %d\n", kAnchorBlock,
                  kAnchorWord, root_id);
      PrintNode(opened.Block(root_id, 0), root_id, opened.Words(root_id),
                qss::kKindStorage, "/", "");
    }
    CoTaskMemFree(stat.pwcsName);
  }
  if (c.json) {
    json.Key("root_anchor").BeginObject().Key("block").Signed(kAnchorBlock);
    json.Key("word").Signed(kAnchorWord).Key("value").Signed(root_id);
    json.EndObject().Key("blocks").Signed(QssPlex_LiveBlocks());
    json.Key("words").Number(QssPlex_LiveWords());
    json.Key("capacity_bytes").Number(QssPlex_CapacityBytes());
    json.Key("used_bytes").Number(QssPlex_UsedBytes()).EndObject();
    return PrintJson(c, json);
  }
  std::printf("blocks:      %d allocated, %s words\n", QssPlex_LiveBlocks(),
              std::to_string(QssPlex_LiveWords()).c_str());
  std::printf("capacity:    %s in this build\nin use:      %s\n",
              Mebibytes(QssPlex_CapacityBytes()).c_str(),
              Mebibytes(QssPlex_UsedBytes()).c_str());
  return 0;
}

int RunCheck(const Context& c) {
  ImageDamage damage;
  if (!LoadDamagedImage(c, &damage)) return kExitFailure;
  SetActivity("checking the tree");
  const std::vector<qss::AllocatedBlock> blocks = AllocatedBlocks();
  const qss::PlexView view(blocks);
  CheckReport report;
  report.image.changes_lost = damage.changes_lost;
  report.image.header_damaged = damage.header_damaged;
  report.image.newest_slot_damaged = damage.newest_slot_damaged;
  if (!damage.blocks.empty()) {
    AddDamage(damage.blocks, SalvageTree(blocks, damage.blocks), view, &report);
  }
  report.findings = qss::CheckTree(blocks);
  report.blocks = blocks.size();
  report.counted = report.findings.empty() && damage.empty();
  if (report.counted) report.counts = CountElements(view);
  return PrintCheckReport(c, report);
}

int RunDump(const Context& c) {
  std::vector<WideString> names;
  ImageDamage image_damage;
  if (!ParsePath(c, c.args.empty() ? "/" : c.args[0], &names) ||
      !LoadDamagedImage(c, &image_damage)) {
    return kExitFailure;
  }
  const qss::PlexView view(AllocatedBlocks());
  if (image_damage.older_image()) {
    std::printf("damaged: %s\n", OlderImageText(image_damage).c_str());
  }
  const DamageMap& damage = image_damage.blocks;
  for (const auto& [block, what] : damage) {
    std::printf("damaged: block %d %s\n", block,
                DamageText(what, view.Words(block)).c_str());
  }
  const int exit_code = image_damage.empty() ? 0 : kExitFailure;
  const int root = view.Block(kAnchorBlock, 0)[kAnchorWord];
  std::printf("root anchor: block %d, word %d = %d\n", kAnchorBlock,
              kAnchorWord, root);
  PrintDamage(damage, view, kAnchorBlock, "");
  // The walk compares the records' names as they are, not escaped.
  std::string top = names.empty() ? "/" : "";
  for (const WideString& name : names) top += "/" + WideToUtf8(name.c_str());
  if (root == 0 && names.empty()) return exit_code;
  if (root != 0 && DumpRecords(view, damage, root, top) > 0) return exit_code;
  c.Fail(JoinPath(names, names.size()), STG_E_FILENOTFOUND);
  return kExitFailure;
}

}  // namespace qsplex
