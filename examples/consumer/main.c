/* The same first use from C (C89 on): each method called through the
 * object's table with the object first, names spelt as arrays of UTF-16
 * units, the interface id passed by address. */
#include <qsstorage/qsstorage.h>

#include <stdio.h>
#include <string.h>

static const OLECHAR kDocs[] = {'d', 'o', 'c', 's', 0};
static const OLECHAR kNote[] = {'n', 'o', 't', 'e', 0};
static const char kText[] = "kept in the plex";

static int Fail(const char* what, HRESULT hr) {
  fprintf(stderr, "%s failed: 0x%08lX\n", what, (unsigned long)hr);
  return 1;
}

/* Writes kText, reads it back from the start, and checks the size Stat
 * reports (clearing the record first, and freeing the name). */
static int WriteAndReadBack(IStream* note) {
  LARGE_INTEGER start;
  STATSTG stat;
  char back[sizeof kText];
  ULONG done = 0;
  HRESULT hr = note->lpVtbl->Write(note, kText, sizeof kText, &done);
  if (FAILED(hr)) return Fail("Write", hr);
  start.QuadPart = 0;
  hr = note->lpVtbl->Seek(note, start, STREAM_SEEK_SET, NULL);
  if (FAILED(hr)) return Fail("Seek", hr);
  hr = note->lpVtbl->Read(note, back, sizeof back, &done);
  if (FAILED(hr)) return Fail("Read", hr);
  if (done != sizeof kText || memcmp(back, kText, sizeof kText) != 0) {
    fprintf(stderr, "read back %lu bytes\n", (unsigned long)done);
    return 1;
  }
  memset(&stat, 0, sizeof stat);
  hr = note->lpVtbl->Stat(note, &stat, STATFLAG_DEFAULT);
  if (FAILED(hr)) return Fail("Stat", hr);
  CoTaskMemFree(stat.pwcsName);
  if (stat.cbSize.QuadPart != sizeof kText) {
    fprintf(stderr, "Stat reports %lu bytes\n",
            (unsigned long)stat.cbSize.QuadPart);
    return 1;
  }
  return 0;
}

int main(void) {
  const DWORD mode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  IStorage* root = GetRootIStorage();
  IStorage* docs = NULL;
  IStorage* same = NULL;
  IStream* note = NULL;
  HRESULT hr;
  int failed;

  if (root == NULL) return Fail("GetRootIStorage", E_OUTOFMEMORY);
  hr = root->lpVtbl->CreateStorage(root, kDocs, mode, 0, 0, &docs);
  root->lpVtbl->Release(root);
  if (FAILED(hr)) return Fail("CreateStorage", hr);
  hr = docs->lpVtbl->QueryInterface(docs, &IID_IStorage, (void**)&same);
  docs->lpVtbl->Release(docs);
  if (FAILED(hr)) return Fail("QueryInterface", hr);
  hr = same->lpVtbl->CreateStream(same, kNote, mode, 0, 0, &note);
  same->lpVtbl->Release(same);
  if (FAILED(hr)) return Fail("CreateStream", hr);

  failed = WriteAndReadBack(note);
  note->lpVtbl->Release(note);
  if (failed) return failed;
  QSStrg_RestoreRefCounts();
  puts("OK");
  return 0;
}
