#include "check/element_lists.h"

#include "records/dms.h"

namespace qss {

PlexView::PlexView(const std::vector<AllocatedBlock>& blocks) {
  for (const AllocatedBlock& block : blocks) words_[block.id] = block.words;
}

int PlexView::Words(int id) const {
  const auto found = words_.find(id);
  return found == words_.end() ? -1 : found->second;
}

const int* PlexView::Block(int id, int min_words) const {
  const int words = Words(id);
  if (words < 0 || words < min_words) return nullptr;
  return ib0 + DMS_LOCATI(&id);
}

bool ReadRootAnchor(const PlexView& view, int* root) {
  const int* anchor = view.Block(kAnchorBlock, kAnchorWord + 1);
  if (anchor == nullptr) return false;
  *root = anchor[kAnchorWord];
  return true;
}

Admission RecordWalk::AdmitBlock(int id, int min_words) {
  const int words = view_.Words(id);
  if (words < 0) return Admission::kNotAllocated;
  if (!reached_.insert(id).second) return Admission::kReachedAgain;
  return words < min_words ? Admission::kTooShort : Admission::kAdmitted;
}

NodeRecord RecordWalk::AdmitNode(int id, const NodeLayout& layout) {
  NodeRecord record;
  record.header_words = layout.name_length_word + 1;
  record.block_words = view_.Words(id);
  record.admission = AdmitBlock(id, record.header_words);
  if (record.admission == Admission::kAdmitted) {
    record.words = view_.Block(id, record.header_words);
    record.name_words = record.words[layout.name_length_word];
  }
  return record;
}

bool RecordWalk::PeekEntry(int block, EntryLinks* links) const {
  const int* words = view_.Block(block, kEntryWords);
  if (words == nullptr) return false;
  links->next = words[kEntryNextWord];
  links->previous = words[kEntryPreviousWord];
  links->kind = words[kEntryKindWord];
  links->child = words[kEntryChildWord];
  return true;
}

bool ElementList::Next(ListStep* step) {
  if (at_ == 0) return false;
  *step = ListStep();
  step->entry = at_;
  step->words = walk_->view().Words(at_);
  step->expected_previous = previous_;
  step->admission = walk_->AdmitBlock(at_, kEntryWords);
  previous_ = at_;
  at_ = 0;
  if (step->admission == Admission::kAdmitted) {
    walk_->PeekEntry(step->entry, &step->links);
    at_ = step->links.next;
  }
  return true;
}

}  // namespace qss
