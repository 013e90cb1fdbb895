// info, check and dump: what an image holds, whether its tree is sound,
// and its records, with their entries. The records themselves are read and printed by
// records/record_dump.h; here are the commands and check's report.
#include <cstdio>
#include <string>
#include <vector>

#include "check/tree_check.h"
#include "qsstorage/qsstorage.h"
#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "standins/image/format.h"
#include "tools/qsplex/commands/commands.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/image/last_save.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/image/plex.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/output/failure.h"
#include "tools/qsplex/output/json.h"
#include "tools/qsplex/records/record_dump.h"
#include "tools/qsplex/records/salvage.h"
#include "tools/qsplex/tree/path.h"

namespace qsplex {
namespace {

using qss::kAnchorBlock;
using qss::kAnchorWord;

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

// What the summary of info says: the tree's size, the plex's room and how
// the file was saved.
struct Summary {
  size_t storages = 0, streams = 0;
  uint64_t bytes = 0;
  LastSave save;
};

bool Summarize(const Context& c, int root_id, Summary* out) {
  ReadLastSave(c.target.empty() ? c.image : c.target, &out->save);
  if (root_id == 0) return true;
  Element root;
  std::vector<TreeNode> nodes;
  if (!LocateExisting(c, "/", kRead, &root) ||
      !LoadSubtree(c, root, false, &nodes)) {
    return false;
  }
  out->storages = nodes[0].storages;
  out->streams = nodes[0].streams;
  out->bytes = nodes[0].size;
  return true;
}

// With `records`, the blocks, and the capacity and what is in use on lines
// of their own, as scripts before the summary read them.
void PrintSummary(const Summary& s, int root_id, bool records) {
  if (root_id != 0) {
    std::printf("elements:    %s and %s below the root\n",
                Count(s.storages, "storage").c_str(),
                Count(s.streams, "stream").c_str());
    std::printf("bytes:       %s in streams\n",
                std::to_string(s.bytes).c_str());
  }
  const uint64_t capacity = QssPlex_CapacityBytes();
  const uint64_t used = QssPlex_UsedBytes();
  if (records) {
    std::printf("blocks:      %d allocated, %s words\n", QssPlex_LiveBlocks(),
                std::to_string(QssPlex_LiveWords()).c_str());
    std::printf("capacity:    %s in this build\nin use:      %s\n",
                Mebibytes(capacity).c_str(), Mebibytes(used).c_str());
  } else {
    std::printf(
        "capacity:    %s used of %s in this build (%u%%)\n",
        Mebibytes(used).c_str(), Mebibytes(capacity).c_str(),
        static_cast<unsigned>(capacity == 0 ? 0 : used * 100 / capacity));
  }
  std::printf("format:      version %u%s\n", s.save.version,
              s.save.version == qss::standins::kCurrentFormat
                  ? ", the current one"
                  : " (the next change saves it in the current one)");
  std::printf("last saved:  %s\n", DescribeLastSave(s.save).c_str());
}

void WriteSummaryJson(const Summary& s, JsonWriter* json) {
  json->Key("storages").Number(s.storages).Key("streams").Number(s.streams);
  json->Key("stream_bytes").Number(s.bytes);
  json->Key("format_version").Number(s.save.version);
  json->Key("last_saved").BeginObject().Key("whole").Bool(s.save.whole());
  json->Key("generation").Number(s.save.generation);
  json->Key("whole_generation").Number(s.save.whole_generation);
  json->EndObject();
}

}  // namespace

int RunInfo(const Context& c) {
  if (!OpenImage(c, true)) return kExitFailure;
  // A loaded image's block 2 holds the anchor, and the tree is walkable.
  int root_id = 0;
  qss::ReadRootAnchor(qss::PlexView(AllocatedBlocks()), &root_id);
  Summary summary;
  if (!Summarize(c, root_id, &summary)) return kExitFailure;
  const bool records = c.Has('v');
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
    }
    if (!c.json && records) {
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
    json.Key("used_bytes").Number(QssPlex_UsedBytes());
    WriteSummaryJson(summary, &json);
    json.EndObject();
    return PrintJson(c, json);
  }
  PrintSummary(summary, root_id, records);
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
  if (report.counted) report.counts = CountElements(blocks);
  return PrintCheckReport(c, report);
}

int RunDump(const Context& c) {
  std::vector<WideString> names;
  ImageDamage image_damage;
  if (!ParsePath(c, c.args.empty() ? "/" : c.args[0], &names) ||
      !LoadDamagedImage(c, &image_damage)) {
    return kExitFailure;
  }
  const std::vector<qss::AllocatedBlock> blocks = AllocatedBlocks();
  const qss::PlexView view(blocks);
  if (image_damage.older_image()) {
    std::printf("damaged: %s\n", OlderImageText(image_damage).c_str());
  }
  const DamageMap& damage = image_damage.blocks;
  for (const auto& [block, what] : damage) {
    std::printf("damaged: block %d %s\n", block,
                DamageText(what, view.Words(block)).c_str());
  }
  const int exit_code = image_damage.empty() ? 0 : kExitFailure;
  // A loaded image's block 2 holds the anchor: the load refuses others.
  int root = 0;
  qss::ReadRootAnchor(view, &root);
  std::printf("root anchor: block %d, word %d = %d\n", kAnchorBlock,
              kAnchorWord, root);
  PrintDamage(damage, view, kAnchorBlock, "");
  // The walk compares the records' names as they are, not escaped.
  std::string top = names.empty() ? "/" : "";
  for (const WideString& name : names) top += "/" + WideToUtf8(name.c_str());
  if (root == 0 && names.empty()) return exit_code;
  if (root != 0 && DumpRecords(blocks, damage, root, top) > 0) {
    return exit_code;
  }
  c.Fail(JoinPath(names, names.size()), STG_E_FILENOTFOUND);
  return kExitFailure;
}


const Command kInfoCommand = {
    "info",
    "[-v] [--json] IMAGE",
    {Flag('v'), kJsonOption},
    0,
    0,
    Access::kRead,
    "summarize the image: elements, bytes, room, format, last save",
    "Shows the root's status, the storages and streams below it, the bytes\n"
    "in streams, the plex's bytes in use of what this build holds, the\n"
    "file's format version, and how it was last saved: whole, or its\n"
    "changes in place (with the save's generation). 'qsplex IMAGE' shows\n"
    "the same.\n"
    "  -v      also the root anchor, the root's record word by word and\n"
    "          the blocks in use (dump shows any record)\n"
    "  --json  all of it as a JSON object (docs/qsplex-json.md)\n",
    "qsplex info t.img\nqsplex info -v t.img\nqsplex info --json t.img",
    RunInfo,
    {}};

const Command kCheckCommand = {
    "check",
    "[--json] IMAGE",
    {kJsonOption},
    0,
    0,
    Access::kRead,
    "verify the tree's records",
    "Verifies the records of the tree: element lists, names, node sizes,\n"
    "stream sizes and capacities, deleted nodes and leaked blocks. Prints\n"
    "each finding with its location, or the storages and streams counted;\n"
    "exits with 1 when there is a finding.\n"
    "A damaged image is read as far as it goes: each block that fails its\n"
    "checksum or that the file's end cuts off is named with what it holds\n"
    "(the record or the data of which element), then each element that\n"
    "'recover' would keep damaged or lose, and why.\n"
    "  --json  the findings and counts as a JSON object "
    "(docs/qsplex-json.md)\n",
    "qsplex check t.img\nqsplex check --json t.img\n"
    "qsplex check broken.img || qsplex recover broken.img saved.img",
    RunCheck,
    {"verify", "fsck"}};

const Command kDumpCommand = {
    "dump",
    "IMAGE [PATH]",
    {},
    0,
    1,
    Access::kRead,
    "print the records word by word",
    "Prints the records of the subtree at PATH (default /) word by word,\n"
    "read straight from the plex, also when the tree is damaged. Of a\n"
    "damaged image it lists first the blocks that fail their checksum or\n"
    "that the file's end cuts off, marks each such record and data block\n"
    "with '!!', and exits with 1.\n",
    "qsplex dump t.img /docs\nqsplex dump broken.img",
    RunDump,
    {}};

}  // namespace qsplex
