#include "tools/qsplex/report/report_data.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "records/node_records.h"
#include "standins/plex_controls.h"
#include "tools/qsplex/output/json.h"

namespace qsplex {
namespace {

const char* const kOwnerNames[kBlockOwners] = {
    "host", "records", "element lists", "stream data", "not reached"};

// A compact JSON text, one line: the page's data holds 100,000 elements in
// arrays, where a member per line would triple it.
class Compact {
 public:
  Compact& Key(const char* key) {
    Separate();
    text_ += JsonQuote(std::string(key)) + ":";
    fresh_ = true;
    return *this;
  }
  Compact& Open(char bracket) {
    Separate();
    text_ += bracket;
    fresh_ = true;
    return *this;
  }
  Compact& Close(char bracket) {
    text_ += bracket;
    fresh_ = false;
    return *this;
  }
  Compact& Raw(const std::string& value) {
    Separate();
    text_ += value;
    return *this;
  }
  Compact& Number(uint64_t value) { return Raw(std::to_string(value)); }
  Compact& Signed(int64_t value) { return Raw(std::to_string(value)); }
  Compact& Text(const std::string& utf8) { return Raw(JsonQuote(utf8)); }
  Compact& Wide(const WideString& wide) { return Raw(JsonQuote(wide.c_str())); }
  std::string Take() { return std::move(text_); }

 private:
  void Separate() {
    if (!fresh_) text_ += ',';
    fresh_ = false;
  }
  std::string text_;
  bool fresh_ = true;
};

// The element's name as the library reads it: the record's ANSI bytes
// through the code page names are kept in. An element whose record is not
// read is named as the walk names it ("<entry 12>"); one without a name is
// "".
WideString NameOf(const SalvagedElement& element) {
  WideString wide;
  if (!element.name.empty()) {
    std::vector<OLECHAR> units(element.name.size() + 1);
    if (qss::AnsiToWide(element.name.c_str(), units.data(),
                        static_cast<int>(units.size())) != 0) {
      return WideString(units.data());
    }
  }
  const std::string last = element.path.substr(element.path.rfind('/') + 1);
  if (last.empty() || last[0] != '<') return wide;
  for (char c : last) wide.push_back(static_cast<unsigned char>(c));
  return wide;
}

// The index of the element at `top` below the root, or -1.
int FindTop(const std::vector<SalvagedElement>& elements,
            const std::vector<std::vector<int>>& children,
            const std::vector<WideString>& top) {
  int at = 0;
  for (const WideString& name : top) {
    int found = -1;
    for (int child : children[at]) {
      if (elements[child].kind >= 0 && elements[child].fate != Fate::kLost &&
          SameElementName(NameOf(elements[child]).c_str(), name.c_str())) {
        found = child;
        break;
      }
    }
    if (found < 0) return -1;
    at = found;
  }
  return at;
}

// The elements of the subtree at `top`, parents first: their indexes.
std::vector<int> Subtree(const std::vector<SalvagedElement>& elements,
                         int top) {
  std::vector<bool> inside(elements.size(), false);
  std::vector<int> order;
  for (size_t i = static_cast<size_t>(top); i < elements.size(); ++i) {
    const int parent = elements[i].parent;
    if (static_cast<int>(i) == top || (parent >= 0 && inside[parent])) {
      inside[i] = true;
      order.push_back(static_cast<int>(i));
    }
  }
  return order;
}

void WriteElements(const ReportInput& in, int top, Compact* out) {
  const std::vector<SalvagedElement>& elements = in.tree->elements;
  const std::vector<int> order = Subtree(elements, top);
  std::unordered_map<int, int> index;  // element to its place in `order`
  for (size_t i = 0; i < order.size(); ++i) {
    index[order[i]] = static_cast<int>(i);
  }
  out->Key("names").Open('[');
  for (int e : order)
    out->Wide(e == top && top == 0 ? WideString() : NameOf(elements[e]));
  out->Close(']').Key("parents").Open('[');
  for (int e : order) {
    out->Signed(e == top ? -1 : index[elements[e].parent]);
  }
  // 0 a storage, 1 a stream, 2 an entry whose element is not known.
  out->Close(']').Key("kinds").Open('[');
  for (int e : order) {
    const int kind = elements[e].kind;
    out->Number(kind == qss::kKindStorage  ? 0
                : kind == qss::kKindStream ? 1
                                           : 2);
  }
  out->Close(']').Key("sizes").Open('[');
  for (int e : order) {
    out->Number(elements[e].kind == qss::kKindStream ? elements[e].size : 0);
  }
  // Class ids by their place in "classes": most trees have few of them.
  std::map<std::string, int> classes;
  std::vector<std::string> class_order;
  out->Close(']').Key("class_ids").Open('[');
  for (int e : order) {
    if (elements[e].kind != qss::kKindStorage) {
      out->Signed(-1);
      continue;
    }
    const std::string text = FormatClassId(elements[e].clsid);
    const auto [at, fresh] =
        classes.emplace(text, static_cast<int>(class_order.size()));
    if (fresh) class_order.push_back(text);
    out->Signed(at->second);
  }
  out->Close(']').Key("classes").Open('[');
  for (const std::string& text : class_order) out->Text(text);
  // 0 kept, 1 damaged, 2 lost; and what is wrong with each that is not kept.
  out->Close(']').Key("fates").Open('[');
  for (int e : order) out->Number(static_cast<uint64_t>(elements[e].fate));
  out->Close(']').Key("problems").Open('[');
  for (size_t i = 0; i < order.size(); ++i) {
    for (const std::string& problem : elements[order[i]].problems) {
      out->Open('[').Number(i).Text(problem).Close(']');
    }
  }
  out->Close(']');
}

void WriteBlocks(const ReportInput& in, Compact* out) {
  const std::vector<qss::AllocatedBlock>& blocks = *in.blocks;
  const std::vector<BlockOwner> owners = BlockOwners(*in.tree, blocks);
  const DamageMap& damage = in.damage->blocks;
  uint64_t counts[kBlockOwners] = {}, bytes[kBlockOwners] = {};
  uint64_t small_counts[kBlockOwners] = {}, small_bytes[kBlockOwners] = {};
  uint64_t total = 0;
  size_t damaged_listed = 0;
  int last_id = 0;
  for (const qss::AllocatedBlock& block : blocks) {
    total += 4 * static_cast<uint64_t>(block.words);
    last_id = std::max(last_id, block.id);
  }
  out->Key("owners").Open('[');
  for (const char* name : kOwnerNames) out->Text(name);
  // [id, bytes, owner, damage (0 none, 1 checksum, 2 cut), what it holds]
  out->Close(']').Key("blocks").Open('[');
  for (size_t i = 0; i < blocks.size(); ++i) {
    const int owner = static_cast<int>(owners[i]);
    const uint64_t size = 4 * static_cast<uint64_t>(blocks[i].words);
    const auto damaged = damage.find(blocks[i].id);
    ++counts[owner];
    bytes[owner] += size;
    // A damaged block is listed however small, up to kListedDamage of them.
    const bool marked =
        damaged != damage.end() && damaged_listed++ < kListedDamage;
    if (!marked && size * kListedBlockShare < total) {
      ++small_counts[owner];
      small_bytes[owner] += size;
      continue;
    }
    const auto role = in.tree->roles.find(blocks[i].id);
    out->Open('[').Signed(blocks[i].id).Number(size).Number(owner);
    out->Number(damaged == damage.end()                      ? 0
                : damaged->second.kind == QSS_PLEX_BLOCK_CUT ? 2
                                                             : 1);
    out->Text(role != in.tree->roles.end() ? role->second : "").Close(']');
  }
  out->Close(']');
  const struct {
    const char* key;
    const uint64_t* values;
  } sums[] = {{"owner_blocks", counts},
              {"owner_bytes", bytes},
              {"small_blocks", small_counts},
              {"small_bytes", small_bytes}};
  for (const auto& sum : sums) {
    out->Key(sum.key).Open('[');
    for (int k = 0; k < kBlockOwners; ++k) out->Number(sum.values[k]);
    out->Close(']');
  }
  out->Key("last_id").Signed(last_id);
  out->Key("free_ids").Number(static_cast<uint64_t>(last_id) - blocks.size());
}

// The damaged blocks with the bytes a cut one still holds, and what the
// checker found.
void WriteDamage(const ReportInput& in, Compact* out) {
  const qss::PlexView view(*in.blocks);
  out->Key("older_image").Text(OlderImageText(*in.damage));
  out->Key("damage").Open('[');
  size_t listed = 0;
  for (const auto& [block, what] : in.damage->blocks) {
    if (listed++ == kListedDamage) break;
    const auto role = in.tree->roles.find(block);
    out->Open('[').Signed(block).Number(what.kind == QSS_PLEX_BLOCK_CUT ? 2
                                                                        : 1);
    out->Number(what.bytes_read);
    out->Number(4 * static_cast<uint64_t>(std::max(0, view.Words(block))));
    out->Text(role != in.tree->roles.end() ? role->second
                                           : "not reached from the root");
    out->Close(']');
  }
  out->Close(']').Key("damage_count").Number(in.damage->blocks.size());
  out->Key("findings").Open('[');
  const size_t shown = std::min(in.findings->size(), kListedFindings);
  for (size_t i = 0; i < shown; ++i) {
    const qss::TreeFinding& finding = (*in.findings)[i];
    out->Open('[').Number(static_cast<uint64_t>(finding.kind));
    out->Text(finding.location).Text(finding.message).Close(']');
  }
  out->Close(']').Key("finding_count").Number(in.findings->size());
}

}  // namespace

std::vector<BlockOwner> BlockOwners(
    const SalvagedTree& tree, const std::vector<qss::AllocatedBlock>& blocks) {
  std::unordered_map<int, BlockOwner> known;
  for (const SalvagedElement& element : tree.elements) {
    if (element.node != 0) known[element.node] = BlockOwner::kRecord;
    if (element.data != 0) known[element.data] = BlockOwner::kData;
  }
  std::vector<BlockOwner> owners;
  owners.reserve(blocks.size());
  for (const qss::AllocatedBlock& block : blocks) {
    const auto found = known.find(block.id);
    if (block.id == 1 || block.id == qss::kAnchorBlock) {
      owners.push_back(BlockOwner::kHost);
    } else if (found != known.end()) {
      owners.push_back(found->second);
    } else if (tree.roles.count(block.id) != 0) {
      // The walk names every block it reaches; the rest it reached are
      // the entries of element lists.
      owners.push_back(BlockOwner::kList);
    } else {
      owners.push_back(BlockOwner::kUnreached);
    }
  }
  return owners;
}

bool ReportJson(const ReportInput& in, std::string* json,
                std::string* problem) {
  const std::vector<SalvagedElement>& elements = in.tree->elements;
  std::vector<std::vector<int>> children(elements.size());
  for (size_t i = 1; i < elements.size(); ++i) {
    if (elements[i].parent >= 0) {
      children[elements[i].parent].push_back(static_cast<int>(i));
    }
  }
  // A root the walk loses still shows, as lost, with the blocks and the
  // damage: that is when the report matters most.
  const int top = in.top.empty() ? 0 : FindTop(elements, children, in.top);
  if (top < 0 || elements.empty()) {
    *problem = elements.empty() || elements[0].fate == Fate::kLost
                   ? "the image's root cannot be read"
                   : DescribeResult(STG_E_FILENOTFOUND);
    return false;
  }
  Compact out;
  out.Open('{').Key("format").Number(1).Key("image").Text(in.image_name);
  out.Key("top").Text(JoinPath(in.top, in.top.size()));
  out.Key("version").Number(in.version).Key("file_bytes").Number(in.file_bytes);
  WriteElements(in, top, &out);
  WriteBlocks(in, &out);
  WriteDamage(in, &out);
  out.Close('}');
  *json = out.Take();
  return true;
}

}  // namespace qsplex
