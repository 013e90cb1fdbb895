#include "records/claims.h"

namespace qss {
namespace {

// Claims hashed by block id, so the release of a large tree asks about each
// node in constant time. Block ids are small and dense.
constexpr int kBuckets = 1024;
NodeClaim* claim_buckets[kBuckets];

NodeClaim*& BucketOf(int block_id) {
  return claim_buckets[static_cast<unsigned>(block_id) % kBuckets];
}

}  // namespace

NodeClaim::NodeClaim(int block_id) : block_id_(block_id) { Link(); }

void NodeClaim::Link() {
  if (block_id_ == 0) return;
  NodeClaim*& head = BucketOf(block_id_);
  next_ = head;
  if (head != nullptr) head->prev_ = this;
  head = this;
}

void NodeClaim::Unlink() {
  if (prev_ != nullptr) {
    prev_->next_ = next_;
  } else {
    BucketOf(block_id_) = next_;
  }
  if (next_ != nullptr) next_->prev_ = prev_;
  prev_ = next_ = nullptr;
}

void NodeClaim::Drop() {
  if (block_id_ == 0) return;
  Unlink();
  block_id_ = 0;
}

void DetachClaims(int block_id) {
  for (NodeClaim* c = BucketOf(block_id); c != nullptr;) {
    NodeClaim* next = c->next_;
    if (c->block_id_ == block_id) c->Drop();
    c = next;
  }
}

}  // namespace qss
