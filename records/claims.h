// In-process bookkeeping that keeps objects off freed blocks. Nothing here
// is persisted and nothing here writes the plex: the records keep their
// meaning, and after a reload no objects exist.
//
// A NodeClaim is a live COM object's hold on a node record. Whoever frees a
// node first detaches every claim on it (their block id becomes 0), so an
// object never reaches a freed block: its next operation fails the liveness
// check exactly as on a deleted node. Releasing an object only lets go of
// its claim and never touches the plex. An EntryCursor is an enumerator's
// position in an element list; before an entry is unlinked or freed, every
// cursor on it moves on to the entry's successor.
#ifndef QSSTORAGE_RECORDS_CLAIMS_H_
#define QSSTORAGE_RECORDS_CLAIMS_H_

namespace qss {

class NodeClaim {
 public:
  explicit NodeClaim(int block_id);
  NodeClaim(const NodeClaim&) = delete;
  NodeClaim& operator=(const NodeClaim&) = delete;
  ~NodeClaim() { Drop(); }

  int block_id() const { return block_id_; }
  // Lets go of the node; block_id() is 0 afterwards.
  void Drop();

 private:
  friend void DetachClaims(int block_id);
  void Link();
  void Unlink();

  int block_id_;
  NodeClaim* prev_ = nullptr;
  NodeClaim* next_ = nullptr;
};

// Detaches every object over the node.
void DetachClaims(int block_id);

// Frees a deleted node (a stream with its data block) unless its open count
// is not 0, detaching the objects over it first.
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
