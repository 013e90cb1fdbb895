#include "reliability/observe.h"

#include <cinttypes>
#include <cstdio>

namespace qss_reliability {
namespace {

uint64_t Fnv(const uint8_t* data, size_t size) {
  uint64_t hash = 14695981039346656037ull;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

}  // namespace

std::string Hex(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%" PRIx64, value);
  return text;
}

std::string Code(int hr) {
  struct Named {
    HRESULT hr;
    const char* name;
  };
  static const Named kNames[] = {
      {S_OK, "S_OK"},
      {S_FALSE, "S_FALSE"},
      {E_NOTIMPL, "E_NOTIMPL"},
      {E_NOINTERFACE, "E_NOINTERFACE"},
      {E_POINTER, "E_POINTER"},
      {E_FAIL, "E_FAIL"},
      {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
      {STG_E_INVALIDFUNCTION, "STG_E_INVALIDFUNCTION"},
      {STG_E_FILENOTFOUND, "STG_E_FILENOTFOUND"},
      {STG_E_ACCESSDENIED, "STG_E_ACCESSDENIED"},
      {STG_E_INVALIDPOINTER, "STG_E_INVALIDPOINTER"},
      {STG_E_FILEALREADYEXISTS, "STG_E_FILEALREADYEXISTS"},
      {STG_E_MEDIUMFULL, "STG_E_MEDIUMFULL"},
      {STG_E_INVALIDNAME, "STG_E_INVALIDNAME"},
      {STG_E_INVALIDFLAG, "STG_E_INVALIDFLAG"},
      {STG_E_REVERTED, "STG_E_REVERTED"},
  };
  for (const Named& named : kNames) {
    if (named.hr == hr) return named.name;
  }
  return Hex(static_cast<uint32_t>(hr));
}

std::string Printable(const OLECHAR* name) {
  if (name == nullptr) return "null";
  WideString wide(name);
  std::string out;
  auto add = [&out](OLECHAR c) {
    const auto unit = static_cast<uint16_t>(c);
    if (unit >= 0x20 && unit < 0x7F) {
      out.push_back(static_cast<char>(unit));
    } else {
      char text[16];
      std::snprintf(text, sizeof text, "\\u%04X", unit);
      out += text;
    }
  };
  if (wide.size() <= 24) {
    for (OLECHAR c : wide) add(c);
  } else {
    for (size_t i = 0; i < 8; ++i) add(wide[i]);
    out += "...";
    for (size_t i = wide.size() - 8; i < wide.size(); ++i) add(wide[i]);
    out += "[" + std::to_string(wide.size()) + "]";
  }
  return "\"" + out + "\"";
}

std::string Digest(const uint8_t* data, size_t size) {
  return std::to_string(size) + " bytes " + Hex(Fnv(data, size));
}

STATSTG FilledRecord() {
  STATSTG record;
  std::memset(&record, kFiller, sizeof record);
  return record;
}

std::string RecordText(const STATSTG& r) {
  std::string out = "{name ";
  out += Untouched(r.pwcsName) ? "untouched" : Printable(r.pwcsName);
  auto field = [&out](const char* label, bool untouched, uint64_t value) {
    out += std::string(", ") + label + " " +
           (untouched ? std::string("untouched") : Hex(value));
  };
  field("type", Untouched(r.type), r.type);
  field("size", Untouched(r.cbSize), r.cbSize.QuadPart);
  field("mtime", Untouched(r.mtime), r.mtime.dwLowDateTime);
  field("ctime", Untouched(r.ctime), r.ctime.dwLowDateTime);
  field("atime", Untouched(r.atime), r.atime.dwLowDateTime);
  field("mode", Untouched(r.grfMode), r.grfMode);
  field("locks", Untouched(r.grfLocksSupported), r.grfLocksSupported);
  out += ", clsid ";
  if (Untouched(r.clsid)) {
    out += "untouched";
  } else {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&r.clsid);
    char text[3];
    for (size_t i = 0; i < sizeof r.clsid; ++i) {
      std::snprintf(text, sizeof text, "%02x", bytes[i]);
      out += text;
    }
  }
  field("state", Untouched(r.grfStateBits), r.grfStateBits);
  field("reserved", Untouched(r.reserved), r.reserved);
  return out + "}";
}

void FreeName(STATSTG* record) {
  if (!Untouched(record->pwcsName) && record->pwcsName != nullptr) {
    CoTaskMemFree(record->pwcsName);
  }
}

std::string DescribeModel(const ModelNode& node, const WideString* moved) {
  std::vector<std::string> parts;
  for (const EntryPtr& entry : node.entries) {
    const ModelNode& child = *entry->child;
    const WideString name = moved != nullptr ? *moved : FromAnsi(child.name);
    std::string part = Printable(name.c_str());
    if (child.storage) {
      part += DescribeModel(child);
    } else {
      part += "(" + Digest(child.bytes.data(), child.bytes.size()) + ")";
    }
    parts.push_back(part);
  }
  std::sort(parts.begin(), parts.end());
  std::string out = "{";
  for (const std::string& part : parts) out += part + " ";
  return out + "}";
}

#if defined(_WIN32)
std::string DescribeForeign(IStorage* storage) {
  IEnumSTATSTG* elements = nullptr;
  if (storage->EnumElements(0, nullptr, 0, &elements) != S_OK) return "?";
  std::vector<std::string> parts;
  STATSTG stat;
  while (elements->Next(1, &stat, nullptr) == S_OK) {
    std::string part = Printable(stat.pwcsName);
    if (stat.type == STGTY_STORAGE) {
      IStorage* child = nullptr;
      if (storage->OpenStorage(stat.pwcsName, nullptr,
                               STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                               &child) == S_OK) {
        part += DescribeForeign(child);
        child->Release();
      } else {
        part += "{?}";
      }
    } else {
      IStream* child = nullptr;
      std::vector<uint8_t> bytes;
      if (storage->OpenStream(stat.pwcsName, nullptr,
                              STGM_READ | STGM_SHARE_EXCLUSIVE, 0,
                              &child) == S_OK) {
        uint8_t chunk[4096];
        ULONG got = 0;
        while (child->Read(chunk, sizeof chunk, &got) == S_OK && got > 0) {
          bytes.insert(bytes.end(), chunk, chunk + got);
        }
        child->Release();
      }
      part += "(" + Digest(bytes.data(), bytes.size()) + ")";
    }
    CoTaskMemFree(stat.pwcsName);
    parts.push_back(part);
  }
  elements->Release();
  std::sort(parts.begin(), parts.end());
  std::string out = "{";
  for (const std::string& part : parts) out += part + " ";
  return out + "}";
}

IStorage* NewCompoundFile() {
  IStorage* file = nullptr;
  if (StgCreateDocfile(nullptr,
                       STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE |
                           STGM_DELETEONRELEASE,
                       0, &file) != S_OK) {
    return nullptr;
  }
  return file;
}
#endif

std::string Join(const std::vector<std::string>& facts) {
  std::string out;
  for (const std::string& fact : facts) out += (out.empty() ? "" : "; ") + fact;
  return out;
}

}  // namespace qss_reliability
