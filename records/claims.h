// In-process bookkeeping that keeps objects off freed blocks. Nothing here
// is persisted and nothing here reads or writes the plex: the records keep
// their meaning, and after a reload no objects exist.
//
// A NodeClaim is a live COM object's hold on a node record. Whoever frees a
// node first detaches every claim on it (their block id becomes 0), so an
// object never reaches a freed block: its next operation fails the liveness
// check exactly as on a deleted node. Releasing an object only lets go of
// its claim and never touches the plex.
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

}  // namespace qss

#endif  // QSSTORAGE_RECORDS_CLAIMS_H_
