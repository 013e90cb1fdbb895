// The element list of a StorageNode: ElementEntry blocks hanging from the
// node's first-entry word, newest first, each with its next and previous
// entry. This file and records/lifetime.h are the only code that reads or
// writes the list words (the first-entry word and the entries' own).
//
// An EntryCursor is a walk's position in a list, kept in process only: an
// entry that is unlinked or freed first moves every cursor on it to its
// successor, so a cursor rests only on linked entries (or 0, the end) and a
// linked entry's child is a live node.
#ifndef QSSTORAGE_RECORDS_ELEMENT_LIST_H_
#define QSSTORAGE_RECORDS_ELEMENT_LIST_H_

#include "records/names.h"
#include "records/node_records.h"
#include "records/plex.h"

namespace qss {

// One entry as read from the plex. A walk passes over entries whose child
// is 0, and over kinds it does not know: the host may hold both.
struct Element {
  int entry;  // 0: none
  int child;
  int kind;
  int next;  // the following entry, 0 for the last
};

inline int FirstEntry(int storage) {
  return LocateBlock(storage)[kStorageFirstEntryWord];
}

inline Element ReadEntry(int entry) {
  const int* words = LocateBlock(entry);
  return {entry, words[kEntryChildWord], words[kEntryKindWord],
          words[kEntryNextWord]};
}

// Links a new entry for `child` of `kind` at the head of the list of the
// StorageNode `storage`; false, with nothing changed, when the store is
// full.
bool LinkElement(int storage, int child, int kind);

// Unlinks `entry`, an entry of the list of `storage`, and frees it. Cursors
// on it move to its successor first.
void UnlinkEntry(int storage, int entry);

// Unlinks and frees the first entry naming `child`; false when there is none.
bool UnlinkChild(int storage, int child);

// The element of `storage` whose child, a storage or a stream, is named by
// `key`; entry 0 when there is none.
Element FindElement(int storage, const NameKey& key);

// Takes the head entry off the list of a storage being released, without
// mending its successor's previous word (the whole list goes) and without
// freeing the entry; cursors on it move to its successor. Entry 0 when the
// list is empty.
Element TakeFirstEntry(int storage);

// Returns an entry taken by TakeFirstEntry to the store.
void FreeEntry(int entry);

class EntryCursor {
 public:
  EntryCursor(int start, int position);
  EntryCursor(const EntryCursor&) = delete;
  EntryCursor& operator=(const EntryCursor&) = delete;
  ~EntryCursor();

  int start() const { return start_; }
  int position() const { return position_; }
  void Reset() { position_ = start_; }
  // The entry at the position into `*element`, the position moving on to
  // its successor; false at the end of the list.
  bool Step(Element* element);

 private:
  friend void MoveCursorsOff(int entry, int successor);
  int start_;
  int position_;
  EntryCursor* prev_ = nullptr;
  EntryCursor* next_ = nullptr;
};

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_ELEMENT_LIST_H_
