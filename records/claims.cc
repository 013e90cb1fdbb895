#include "records/claims.h"

#include "records/node_records.h"
#include "records/plex.h"

namespace qss {
namespace {

// Claims hashed by block id, so the release of a large tree asks about each
// node in constant time. Block ids are small and dense.
constexpr int kBuckets = 1024;
NodeClaim* claim_buckets[kBuckets];
EntryCursor* cursors;

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

void FreeNodeIfUnused(int block_id, int kind) {
  const NodeLayout& layout = LayoutOf(kind);
  const int* node = LocateBlock(block_id);
  if (node[layout.deleted_word] == 0 || node[layout.open_count_word] != 0) {
    return;
  }
  DetachClaims(block_id);
  if (kind == kKindStream && node[kStreamDataBlockWord] != 0) {
    FreeBlock(node[kStreamDataBlockWord]);
  }
  FreeBlock(block_id);
}

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

void MoveCursorsOff(int entry, int successor) {
  for (EntryCursor* c = cursors; c != nullptr; c = c->next_) {
    if (c->start_ == entry) c->start_ = successor;
    if (c->position_ == entry) c->position_ = successor;
  }
}

}  // namespace qss
