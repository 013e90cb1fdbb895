#include "records/element_list.h"

namespace qss {
namespace {

EntryCursor* cursors;

}  // namespace

// Called before `entry` is unlinked or freed: every cursor on it moves to
// `successor` (the entry that followed it, or 0).
void MoveCursorsOff(int entry, int successor) {
  for (EntryCursor* c = cursors; c != nullptr; c = c->next_) {
    if (c->start_ == entry) c->start_ = successor;
    if (c->position_ == entry) c->position_ = successor;
  }
}

bool LinkElement(int storage, int child, int kind) {
  const int entry_id = AllocateBlock(kEntryWords);
  if (entry_id == 0) return false;
  int* entry = LocateBlock(entry_id);
  entry[kEntryKindWord] = kind;
  entry[kEntryChildWord] = child;
  // `node` is located after the allocation; nothing else moved anyway.
  int* node = LocateBlock(storage);
  const int old = node[kStorageFirstEntryWord];
  node[kStorageFirstEntryWord] = entry_id;
  if (old != 0) {
    LocateBlock(old)[kEntryPreviousWord] = entry_id;
    entry[kEntryNextWord] = old;
  }
  return true;
}

void UnlinkEntry(int storage, int entry_id) {
  int* node = LocateBlock(storage);
  const int* entry = LocateBlock(entry_id);
  const int next = entry[kEntryNextWord];
  const int previous = entry[kEntryPreviousWord];
  if (next != 0) LocateBlock(next)[kEntryPreviousWord] = previous;
  if (previous != 0) LocateBlock(previous)[kEntryNextWord] = next;
  if (node[kStorageFirstEntryWord] == entry_id) {
    node[kStorageFirstEntryWord] = next;
  }
  // Nothing reaches the entry any more: cursors step past it and the block
  // goes back to the store.
  MoveCursorsOff(entry_id, next);
  FreeBlock(entry_id);
}

bool UnlinkChild(int storage, int child) {
  for (int id = FirstEntry(storage); id != 0;) {
    const Element element = ReadEntry(id);
    if (element.child == child) {
      UnlinkEntry(storage, id);
      return true;
    }
    id = element.next;
  }
  return false;
}

Element FindElement(int storage, const NameKey& key) {
  // The host reads each id where it lies in the plex (LocateBlockAt): a
  // lookup visits every sibling, two blocks each.
  for (const int* link = LocateBlock(storage) + kStorageFirstEntryWord;
       *link != 0;) {
    const int* entry = LocateBlockAt(link);
    const int child = entry[kEntryChildWord];
    const int kind = entry[kEntryKindWord];
    if (child != 0 && (kind == kKindStorage || kind == kKindStream) &&
        NodeNameEquals(LocateBlockAt(entry + kEntryChildWord), LayoutOf(kind),
                       key)) {
      return {*link, child, kind, entry[kEntryNextWord]};
    }
    link = entry + kEntryNextWord;
  }
  return {0, 0, 0, 0};
}

Element TakeFirstEntry(int storage) {
  int* node = LocateBlock(storage);
  if (node[kStorageFirstEntryWord] == 0) return {0, 0, 0, 0};
  const Element head = ReadEntry(node[kStorageFirstEntryWord]);
  node[kStorageFirstEntryWord] = head.next;
  MoveCursorsOff(head.entry, head.next);
  return head;
}

void FreeEntry(int entry) { FreeBlock(entry); }

EntryCursor::EntryCursor(int start, int position)
    : start_(start), position_(position), next_(cursors) {
  if (cursors != nullptr) cursors->prev_ = this;
  cursors = this;
}

EntryCursor::~EntryCursor() {
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    cursors = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
}

bool EntryCursor::Step(Element* element) {
  if (position_ == 0) return false;
  *element = ReadEntry(position_);
  position_ = element->next;
  return true;
}

}  // namespace qss
