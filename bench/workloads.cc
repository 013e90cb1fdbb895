#include "bench/workloads.h"

#include <cstdio>

namespace qss_bench {
namespace {

// A workload that meets a failure stops there; the caller reports it.
#define RETURN_IF_FAILED(expr)   \
  do {                           \
    const HRESULT hr_ = (expr);  \
    if (FAILED(hr_)) return hr_; \
  } while (0)

HRESULT CreateStreamBytes(IStorage* parent, const OLECHAR* name,
                          const char* bytes, size_t size) {
  IStream* stream = nullptr;
  RETURN_IF_FAILED(parent->CreateStream(name, kChildMode, 0, 0, &stream));
  const HRESULT hr = WritePieces(stream, bytes, size, size);
  stream->Release();
  return hr;
}

// One level of the tree below `parent`; `level` counts down to the leaves.
HRESULT BuildLevel(IStorage* parent, int level, int fanout,
                   int streams_per_leaf, const std::vector<char>& bytes,
                   const std::vector<Name>& names, int* elements) {
  if (level == 0) {
    for (int i = 0; i < streams_per_leaf; ++i) {
      RETURN_IF_FAILED(CreateStreamBytes(parent, names[i].c_str(), bytes.data(),
                                         bytes.size()));
      ++*elements;
    }
    return S_OK;
  }
  for (int i = 0; i < fanout; ++i) {
    IStorage* child = nullptr;
    RETURN_IF_FAILED(CreateChild(parent, names[i], &child));
    ++*elements;
    const HRESULT hr = BuildLevel(child, level - 1, fanout, streams_per_leaf,
                                  bytes, names, elements);
    child->Release();
    RETURN_IF_FAILED(hr);
  }
  return S_OK;
}

HRESULT ReleaseAll(std::vector<IStorage*>* levels, HRESULT hr) {
  while (!levels->empty()) {
    levels->back()->Release();
    levels->pop_back();
  }
  return hr;
}

}  // namespace

Name ElementName(int i) {
  char ascii[32];
  std::snprintf(ascii, sizeof ascii, "element%05d", i);
  return AsciiName(ascii);
}

std::vector<Name> ElementNames(int count) {
  std::vector<Name> names;
  names.reserve(count);
  for (int i = 0; i < count; ++i) names.push_back(ElementName(i));
  return names;
}

Name AsciiName(const char* ascii) {
  Name name;
  for (; *ascii != 0; ++ascii) name.push_back(static_cast<OLECHAR>(*ascii));
  return name;
}

HRESULT WritePieces(IStream* stream, const char* bytes, size_t total,
                    size_t piece) {
  for (size_t done = 0; done < total; done += piece) {
    const ULONG n =
        static_cast<ULONG>(total - done < piece ? total - done : piece);
    ULONG written = 0;
    RETURN_IF_FAILED(stream->Write(bytes + done, n, &written));
    if (written != n) return STG_E_MEDIUMFULL;
  }
  return S_OK;
}

HRESULT ReadPieces(IStream* stream, char* bytes, size_t total, size_t piece) {
  for (size_t done = 0; done < total; done += piece) {
    const ULONG n =
        static_cast<ULONG>(total - done < piece ? total - done : piece);
    ULONG read = 0;
    RETURN_IF_FAILED(stream->Read(bytes + done, n, &read));
    if (read != n) return E_FAIL;
  }
  return S_OK;
}

HRESULT Append(IStream* stream, const char* piece, ULONG piece_bytes,
               int count) {
  for (int i = 0; i < count; ++i) {
    ULONG written = 0;
    RETURN_IF_FAILED(stream->Write(piece, piece_bytes, &written));
    if (written != piece_bytes) return STG_E_MEDIUMFULL;
  }
  return S_OK;
}

HRESULT Rewind(IStream* stream) {
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  return stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

HRESULT CreateStreams(IStorage* parent, const std::vector<Name>& names) {
  for (const Name& name : names) {
    IStream* stream = nullptr;
    RETURN_IF_FAILED(
        parent->CreateStream(name.c_str(), kChildMode, 0, 0, &stream));
    stream->Release();
  }
  return S_OK;
}

HRESULT OpenStreams(IStorage* parent, const std::vector<Name>& names,
                    int stride, int* opened) {
  *opened = 0;
  for (size_t i = 0; i < names.size(); i += stride) {
    IStream* stream = nullptr;
    RETURN_IF_FAILED(
        parent->OpenStream(names[i].c_str(), nullptr, kChildMode, 0, &stream));
    stream->Release();
    ++*opened;
  }
  return S_OK;
}

HRESULT MissStream(IStorage* parent) {
  static const Name kAbsent = AsciiName("element-none");
  IStream* stream = nullptr;
  const HRESULT hr =
      parent->OpenStream(kAbsent.c_str(), nullptr, kChildMode, 0, &stream);
  if (stream != nullptr) stream->Release();
  return hr == STG_E_FILENOTFOUND ? S_OK : E_FAIL;
}

HRESULT EnumerateAll(IStorage* parent, int* seen) {
  *seen = 0;
  IEnumSTATSTG* elements = nullptr;
  RETURN_IF_FAILED(parent->EnumElements(0, nullptr, 0, &elements));
  STATSTG record;
  ULONG fetched = 0;
  HRESULT hr;
  while ((hr = elements->Next(1, &record, &fetched)) == S_OK && fetched == 1) {
    CoTaskMemFree(record.pwcsName);
    ++*seen;
  }
  elements->Release();
  return FAILED(hr) ? hr : S_OK;
}

HRESULT DestroyAll(IStorage* parent, const std::vector<Name>& names,
                   bool newest_first) {
  const size_t n = names.size();
  for (size_t i = 0; i < n; ++i) {
    const Name& name = names[newest_first ? n - 1 - i : i];
    RETURN_IF_FAILED(parent->DestroyElement(name.c_str()));
  }
  return S_OK;
}

HRESULT BuildTree(IStorage* parent, int depth, int fanout, int streams_per_leaf,
                  size_t stream_bytes, int* elements) {
  *elements = 0;
  const std::vector<char> bytes(stream_bytes, 'x');
  const int names_needed =
      fanout > streams_per_leaf ? fanout : streams_per_leaf;
  const std::vector<Name> names = ElementNames(names_needed);
  return BuildLevel(parent, depth, fanout, streams_per_leaf, bytes, names,
                    elements);
}

int TreeElements(int depth, int fanout, int streams_per_leaf) {
  int storages = 0;
  int level = 1;
  for (int d = 0; d < depth; ++d) {
    level *= fanout;
    storages += level;
  }
  return storages + level * streams_per_leaf;
}

HRESULT BuildChain(IStorage* parent, int depth) {
  static const Name kLevel = AsciiName("level");
  std::vector<IStorage*> levels;
  levels.reserve(depth);
  IStorage* outer = parent;
  for (int i = 0; i < depth; ++i) {
    IStorage* child = nullptr;
    const HRESULT hr = CreateChild(outer, kLevel, &child);
    if (FAILED(hr)) return ReleaseAll(&levels, hr);
    levels.push_back(child);
    outer = child;
  }
  return ReleaseAll(&levels, S_OK);
}

HRESULT OpenChain(IStorage* parent, int depth) {
  static const Name kLevel = AsciiName("level");
  std::vector<IStorage*> levels;
  levels.reserve(depth);
  IStorage* outer = parent;
  for (int i = 0; i < depth; ++i) {
    IStorage* child = nullptr;
    const HRESULT hr = outer->OpenStorage(kLevel.c_str(), nullptr, kChildMode,
                                          nullptr, 0, &child);
    if (FAILED(hr)) return ReleaseAll(&levels, hr);
    levels.push_back(child);
    outer = child;
  }
  return ReleaseAll(&levels, S_OK);
}

HRESULT CopyStorage(IStorage* parent, const Name& name, const Name& copy_name) {
  IStorage* source = nullptr;
  RETURN_IF_FAILED(parent->OpenStorage(name.c_str(), nullptr, kChildMode,
                                       nullptr, 0, &source));
  IStorage* copy = nullptr;
  HRESULT hr = CreateChild(parent, copy_name, &copy);
  if (SUCCEEDED(hr)) {
    hr = source->CopyTo(0, nullptr, nullptr, copy);
    copy->Release();
  }
  source->Release();
  return hr;
}

HRESULT CreateChild(IStorage* parent, const Name& name, IStorage** child) {
  return parent->CreateStorage(name.c_str(), kChildMode, 0, 0, child);
}

}  // namespace qss_bench
