// In-process bookkeeping that keeps objects off freed blocks. Nothing here
// is persisted: the plex records keep their meaning, and after a reload no
// objects exist.
//
// A NodeClaim is a live COM object's hold on a node record. The subtree
// release marks a claimed node deleted but leaves it allocated; the node is
// freed when the last claim on it is dropped (by detaching or by the
// object's destruction). An EntryCursor is an enumerator's position in an
// element list; an entry is never freed or unlinked while a cursor rests on
// it: the cursor moves on to the entry's successor first.
#ifndef QSSTORAGE_RECORDS_CLAIMS_H_
#define QSSTORAGE_RECORDS_CLAIMS_H_

namespace qss {

class NodeClaim {
 public:
  NodeClaim(int block_id, int kind);
  NodeClaim(const NodeClaim&) = delete;
  NodeClaim& operator=(const NodeClaim&) = delete;
  ~NodeClaim() { Drop(); }

  int block_id() const { return block_id_; }
  // Lets go of the node; block_id() is 0 afterwards. A deleted, closed node
  // that nobody claims any more is freed here.
  void Drop();

 private:
  friend bool IsClaimed(int block_id);
  void Link();
  void Unlink();

  int block_id_;
  int kind_;
  NodeClaim* prev_ = nullptr;
  NodeClaim* next_ = nullptr;
};

bool IsClaimed(int block_id);

// Frees a deleted node (a stream with its data block) unless its open count
// is not 0 or an object still claims it.
void FreeNodeIfUnused(int block_id, int kind);

class EntryCursor {
 public:
  EntryCursor(int start, int position);
  EntryCursor(const EntryCursor&) = delete;
  EntryCursor& operator=(const EntryCursor&) = delete;
  ~EntryCursor();

  int start() const { return start_; }
  int position() const { return position_; }
  void set_position(int entry) { position_ = entry; }

 private:
  friend void MoveCursorsOff(int entry, int successor);
  int start_;
  int position_;
  EntryCursor* prev_ = nullptr;
  EntryCursor* next_ = nullptr;
};

// Called before `entry` is unlinked or freed: every cursor on it moves to
// `successor` (the entry that followed it, or 0).
void MoveCursorsOff(int entry, int successor);

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_CLAIMS_H_
