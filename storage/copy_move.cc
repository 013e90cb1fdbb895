#include <cstring>
#include <new>
#include <vector>

#include "records/claims.h"
#include "records/element_list.h"
#include "records/lifetime.h"
#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"
#include "storage/storage_plex.h"
#include "stream/stream_plex.h"

namespace qss {
namespace {

constexpr DWORD kCopyCreateMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kMoveCreateMode = STGM_WRITE | STGM_SHARE_EXCLUSIVE;
// Read access for the source element while a move copies it.
constexpr int kMoveSourceMode = STGM_SHARE_EXCLUSIVE;
constexpr ULONG kStreamCopyChunk = 512;

struct Exclusions {
  bool streams = false;
  bool storages = false;
  SNB names = nullptr;  // direct children of the copied storage only
};

bool SameWideName(const OLECHAR* a, const OLECHAR* b) {
  for (; *a == *b; ++a, ++b) {
    if (*a == 0) return true;
  }
  return false;
}

bool NameListed(const OLECHAR* name, SNB names) {
  if (names == nullptr) return false;
  for (; *names != nullptr; ++names) {
    if (SameWideName(name, *names)) return true;
  }
  return false;
}

// Another CIStoragePlex of this module shares our table; no other storage
// does, so a foreign destination is never cast.
const CIStoragePlex* AsPlexStorage(IStorage* storage,
                                   const CIStoragePlex* self) {
  const void* theirs;
  const void* ours;
  std::memcpy(&theirs, static_cast<const void*>(storage), sizeof theirs);
  std::memcpy(&ours,
              static_cast<const void*>(static_cast<const IStorage*>(self)),
              sizeof ours);
  if (theirs != ours) return nullptr;
  return static_cast<const CIStoragePlex*>(storage);
}

// The block id of `dest` when it is one of our storages and alive, else 0.
int PlexTarget(IStorage* dest, const CIStoragePlex* self) {
  const CIStoragePlex* ours = AsPlexStorage(dest, self);
  return ours == nullptr ? 0 : ours->block_id();
}

// Whether the copy walk passes over this entry's element: one without a
// name (it cannot be created by name at the destination) or of a kind the
// walk does not know. An entry without a child holds nothing to lose.
bool LeftBehind(const Element& element) {
  if (element.child == 0) return false;
  if (element.kind != kKindStorage && element.kind != kKindStream) return true;
  return LocateBlock(element.child)[LayoutOf(element.kind).name_length_word] <=
         0;
}

// What a copy of the content of one storage would meet below it.
struct Survey {
  bool holds_target = false;  // the storage `target` lies below it
  bool leaves_some = false;   // it holds an element the copy leaves behind
};

// Walks the subtree below the storage `root` for the storage `target` (0:
// none) and for elements the copy leaves behind, until the answer cannot
// change. Reads the records only: no code of a destination runs meanwhile.
HRESULT SurveySubtree(int root, int target, Survey* survey) {
  try {
    std::vector<int> pending(1, root);
    while (!pending.empty() && !survey->holds_target &&
           !(target == 0 && survey->leaves_some)) {
      const int node = pending.back();
      pending.pop_back();
      for (int id = FirstEntry(node); id != 0 && !survey->holds_target;) {
        const Element element = ReadEntry(id);
        survey->leaves_some |= LeftBehind(element);
        if (element.child != 0 && element.kind == kKindStorage) {
          survey->holds_target = element.child == target;
          pending.push_back(element.child);
        }
        id = element.next;
      }
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// A copy into its own subtree would copy what it creates, level after level,
// until the plex is full: refused with STG_E_ACCESSDENIED, before anything
// is created, when the destination is one of our storages below the source
// (a storage copied into itself meets only the names it already has and
// ends).
HRESULT CheckCopy(int source, int target) {
  if (target == 0 || target == source) return S_OK;
  Survey survey;
  const HRESULT hr = SurveySubtree(source, target, &survey);
  if (FAILED(hr)) return hr;
  return survey.holds_target ? STG_E_ACCESSDENIED : S_OK;
}

// MoveElementTo of the sub-storage `child`, before anything is created: a
// destination that is the child or lies below it gives STG_E_ACCESSDENIED,
// as for CopyTo. A move removes the source after the copy, so one whose
// subtree holds an element the copy would leave behind is refused with
// STG_E_INVALIDFUNCTION: the source stays whole. The check is made here,
// whatever the destination, because a destination not of this library
// cannot take an element without a name either.
HRESULT CheckStorageMove(int child, int target, bool move) {
  if (target == child && target != 0) return STG_E_ACCESSDENIED;
  if (target == 0 && !move) return S_OK;
  Survey survey;
  const HRESULT hr = SurveySubtree(child, target, &survey);
  if (FAILED(hr)) return hr;
  if (survey.holds_target) return STG_E_ACCESSDENIED;
  if (move && survey.leaves_some) return STG_E_INVALIDFUNCTION;
  return S_OK;
}

// From the source's current position into `dest`, 512 bytes per call until
// a call reads less: k * 512 bytes take k + 1 calls. A call that succeeds
// has written all it read; a short write fails it.
HRESULT CopyStreamBytes(CImplIStreamPlex* source, IStream* dest) {
  ULARGE_INTEGER chunk;
  chunk.QuadPart = kStreamCopyChunk;
  ULARGE_INTEGER read;
  do {
    const HRESULT hr = source->CopyTo(dest, chunk, &read, nullptr);
    if (FAILED(hr)) return hr;
  } while (read.QuadPart == kStreamCopyChunk);
  return S_OK;
}

HRESULT CopyStream(int child, IStorage* dest, SNB names) {
  // A buffer of this call's own, which no code the destination runs (a
  // Stat of ours, say) can overwrite before it has taken the name.
  OLECHAR buffer[kWideNameBufferChars];
  const OLECHAR* name = ReadWideNodeName(child, kStreamLayout, buffer);
  if (name == nullptr || NameListed(name, names)) return S_OK;
  // The object's claim tells the copy whether the destination freed the
  // stream while it ran.
  auto* source = new (std::nothrow) CImplIStreamPlex(child);
  if (source == nullptr) return E_OUTOFMEMORY;
  IStream* created = nullptr;
  HRESULT hr = dest->CreateStream(name, kCopyCreateMode, 0, 0, &created);
  if (SUCCEEDED(hr) && created == nullptr) hr = E_POINTER;
  if (FAILED(hr)) {
    source->Release();
    return hr;
  }
  hr = CopyStreamBytes(source, created);
  created->Release();
  source->Release();
  return hr;
}

// One storage being copied: its element list walked with a cursor (which
// steps past entries unlinked meanwhile) into the destination made for it.
// Frames form a stack on the heap, so the depth of the tree never reaches
// the native stack.
struct CopyFrame {
  CopyFrame(CIStoragePlex* source, IStorage* dest, CopyFrame* outer)
      : source(source),
        dest(dest),
        cursor(FirstEntry(source->block_id()), FirstEntry(source->block_id())),
        outer(outer) {}

  CIStoragePlex* source;
  IStorage* dest;
  EntryCursor cursor;
  CopyFrame* outer;  // null for the storage CopyTo was called on
};

// Leaves a finished frame; the outermost belongs to the caller.
CopyFrame* CloseFrame(CopyFrame* frame) {
  CopyFrame* outer = frame->outer;
  if (outer != nullptr) {
    frame->dest->Release();
    frame->source->Release();
    delete frame;
  }
  return outer;
}

// Creates the sub-storage `child` in the frame's destination and enters it:
// `*frame` becomes the frame that copies its content. An excluded or
// nameless child leaves `*frame` as it was.
HRESULT EnterStorage(CopyFrame** frame, int child, SNB names) {
  // A buffer of this call's own, as in CopyStream.
  OLECHAR buffer[kWideNameBufferChars];
  const OLECHAR* name = ReadWideNodeName(child, kStorageLayout, buffer);
  if (name == nullptr || NameListed(name, names)) return S_OK;
  auto* source = new (std::nothrow) CIStoragePlex(child);
  if (source == nullptr) return E_OUTOFMEMORY;
  IStorage* created = nullptr;
  HRESULT hr =
      (*frame)->dest->CreateStorage(name, kCopyCreateMode, 0, 0, &created);
  if (SUCCEEDED(hr) && created == nullptr) hr = E_POINTER;
  if (FAILED(hr)) {
    source->Release();
    return hr;
  }
  // The destination ran code of its own: the child may be gone since.
  hr = source->IsAlive() ? S_OK : STG_E_REVERTED;
  CopyFrame* inner = nullptr;
  if (SUCCEEDED(hr)) {
    inner = new (std::nothrow) CopyFrame(source, created, *frame);
    if (inner == nullptr) hr = E_OUTOFMEMORY;
  }
  if (FAILED(hr)) {
    created->Release();
    source->Release();
    return hr;
  }
  *frame = inner;
  return S_OK;
}

// The element walk of CopyTo, newest first at every level, each sub-storage
// copied right after its creation. On failure what was copied stays, and
// every destination object made so far is released once.
HRESULT CopyContent(CIStoragePlex* source, IStorage* dest,
                    const Exclusions& exclusions) {
  CopyFrame top(source, dest, nullptr);
  CopyFrame* frame = &top;
  HRESULT hr = S_OK;
  while (frame != nullptr && SUCCEEDED(hr)) {
    Element element;
    if (!frame->cursor.Step(&element)) {
      frame = CloseFrame(frame);
      continue;
    }
    if (element.child == 0 || LeftBehind(element)) continue;
    const bool top_level = frame == &top;
    if (element.kind == kKindStorage && !(top_level && exclusions.storages)) {
      hr = EnterStorage(&frame, element.child,
                        top_level ? exclusions.names : nullptr);
    } else if (element.kind == kKindStream && !exclusions.streams) {
      // Excluding sub-storages drops the name list for streams too.
      const SNB names =
          top_level && !exclusions.storages ? exclusions.names : nullptr;
      hr = CopyStream(element.child, frame->dest, names);
    }
  }
  while (frame != nullptr) frame = CloseFrame(frame);
  return hr;
}

// What MoveElementTo does with each kind of element: the source is lent
// read access while it is copied (a storage only when it is not open, as an
// open keeps a storage's first mode), and its content goes into the
// element created for it.
void LendReadAccess(CIStoragePlex* source) {
  source->SetOpenModeIfNotOpen(kMoveSourceMode);
}
void LendReadAccess(CImplIStreamPlex* source) {
  source->SetOpenMode(kMoveSourceMode);
}
HRESULT CreateIn(IStorage* dest, const OLECHAR* name, IStorage** created) {
  return dest->CreateStorage(name, kMoveCreateMode, 0, 0, created);
}
HRESULT CreateIn(IStorage* dest, const OLECHAR* name, IStream** created) {
  return dest->CreateStream(name, kMoveCreateMode, 0, 0, created);
}
HRESULT CopyInto(CIStoragePlex* source, IStorage* created) {
  // The destination ran code of its own: the source may be gone since.
  return source->IsAlive() ? CopyContent(source, created, Exclusions())
                           : STG_E_REVERTED;
}
HRESULT CopyInto(CImplIStreamPlex* source, IStream* created) {
  return CopyStreamBytes(source, created);
}

// Copies the element `child` into `dest` as `new_name` through an object of
// its own, restoring the element's open mode afterwards.
template <class Source, class Created>
HRESULT CopyElement(int child, IStorage* dest, const OLECHAR* new_name) {
  auto* source = new (std::nothrow) Source(child);
  if (source == nullptr) return E_OUTOFMEMORY;
  const int mode = source->GetOpenMode();
  const int remembered = mode == 0 ? kNotOpen : mode;
  LendReadAccess(source);
  Created* created = nullptr;
  HRESULT hr = CreateIn(dest, new_name, &created);
  if (SUCCEEDED(hr) && created == nullptr) hr = E_POINTER;
  if (SUCCEEDED(hr)) {
    hr = CopyInto(source, created);
    created->Release();
  }
  source->SetOpenMode(remembered);
  source->Release();
  return hr;
}

}  // namespace

HRESULT CIStoragePlex::CopyTo(DWORD ciidExclude, const IID* rgiidExclude,
                              SNB snbExclude, IStorage* pstgDest) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (pstgDest == nullptr) return STG_E_INVALIDPOINTER;
  // The class id alone (see the header).
  if (ciidExclude == 0 && rgiidExclude != nullptr) {
    const CLSID clsid = GetClassId();
    pstgDest->SetClass(clsid);
    return S_OK;
  }
  if (ciidExclude != 0 && rgiidExclude == nullptr) return STG_E_INVALIDPOINTER;
  Exclusions exclusions;
  for (DWORD i = 0; i < ciidExclude; ++i) {
    if (IsEqualIID(rgiidExclude[i], IID_IStream)) exclusions.streams = true;
    if (IsEqualIID(rgiidExclude[i], IID_IStorage)) exclusions.storages = true;
  }
  exclusions.names = snbExclude;
  const HRESULT hr = CheckCopy(block_id(), PlexTarget(pstgDest, this));
  if (FAILED(hr)) return hr;
  return CopyContent(this, pstgDest, exclusions);
}

HRESULT CIStoragePlex::MoveElementTo(const OLECHAR* pwcsName,
                                     IStorage* pstgDest,
                                     const OLECHAR* pwcsNewName,
                                     DWORD grfFlags) {
  if (!IsAlive()) return STG_E_REVERTED;
  if (grfFlags == STGMOVE_MOVE && !IsOpenForWriting()) {
    return STG_E_ACCESSDENIED;
  }
  if (pstgDest == nullptr || pwcsNewName == nullptr) {
    return STG_E_INVALIDPOINTER;
  }
  NameKey key;
  HRESULT hr = PrepareName(pwcsName, &key);
  if (FAILED(hr)) return hr;
  const Element found = FindElement(block_id(), key);
  if (found.entry == 0) return STG_E_FILENOTFOUND;
  const int child = found.child;
  const int kind = found.kind;
  if (kind == kKindStorage) {
    hr = CheckStorageMove(child, PlexTarget(pstgDest, this),
                          grfFlags == STGMOVE_MOVE);
    if (FAILED(hr)) return hr;
  }
  // Learns whether the destination freed the child while it ran (the
  // claim is then detached), so the removal below never meets a freed block.
  NodeClaim hold(child);
  hr = kind == kKindStorage
           ? CopyElement<CIStoragePlex, IStorage>(child, pstgDest, pwcsNewName)
           : CopyElement<CImplIStreamPlex, IStream>(child, pstgDest,
                                                    pwcsNewName);
  if (FAILED(hr) || grfFlags != STGMOVE_MOVE) return hr;
  if (block_id() != 0 && hold.block_id() != 0 &&
      !IsDeleted(LocateBlock(child), LayoutOf(kind))) {
    DestroyChild(block_id(), child, kind);
  }
  return S_OK;
}

}  // namespace qss
