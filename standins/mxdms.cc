// The exported face of the plex stand-in: thin forwards to PlexStore.
#include "records/dms.h"
#include "standins/plex_controls.h"
#include "standins/store/plex_store.h"

using qss::standins::DamageSink;
using qss::standins::PlexStore;

namespace {

// Reserve the plex while the library loads, so ib0 is valid before any call
// and the calls reach the store without a first-use check.
PlexStore& store = PlexStore::Instance();

PlexStore& Store() { return store; }

// The loads older callers know answer QSS_PLEX_DAMAGED for any file that
// is not an image this build reads.
int AsDamaged(int result) {
  return result == QSS_PLEX_NOT_AN_IMAGE || result == QSS_PLEX_NEWER_FORMAT
             ? QSS_PLEX_DAMAGED
             : result;
}

}  // namespace

extern "C" {

int QSS_HOST_CALL DMS_LOCATI(const int* blockId) {
  return Store().Locate(blockId);
}
int QSS_HOST_CALL DMS_ALLOCI(const int* words, int* blockId, int* index) {
  return Store().Allocate(words, blockId, index);
}
int QSS_HOST_CALL DMS_RALOCI(const int* blockId, const int* words, int* index) {
  return Store().Reallocate(blockId, words, index);
}
int QSS_HOST_CALL DMS_ATFREE(const int* blockId) {
  return Store().Free(blockId);
}
int QSS_HOST_CALL DMS_SIMBEAD(const int* flag) { return Store().SetBead(flag); }

void QSS_HOST_CALL QssPlex_Reset(void) { Store().Reset(); }
void QSS_HOST_CALL QssPlex_SetReservationBytes(unsigned long long bytes) {
  Store().SetReservationBytes(bytes);
}
unsigned long long QSS_HOST_CALL QssPlex_CapacityBytes(void) {
  return Store().CapacityBytes();
}
unsigned long long QSS_HOST_CALL QssPlex_UsedBytes(void) {
  return Store().UsedBytes();
}
long long QSS_HOST_CALL QssPlex_GrowableWords(int blockId) {
  return Store().GrowableWords(blockId);
}
int QSS_HOST_CALL QssPlex_LiveBlocks(void) { return Store().LiveBlocks(); }
long long QSS_HOST_CALL QssPlex_LiveWords(void) { return Store().LiveWords(); }
int QSS_HOST_CALL QssPlex_IsLive(int blockId) {
  return Store().IsLive(blockId) ? 1 : 0;
}
int QSS_HOST_CALL QssPlex_BlockWords(int blockId) {
  return Store().BlockWords(blockId);
}
int QSS_HOST_CALL QssPlex_NextBlockId(int after) {
  return Store().NextBlockId(after);
}
int QSS_HOST_CALL QssPlex_Save(const char* path) { return Store().Save(path); }
int QSS_HOST_CALL QssPlex_SaveChanges(const char* path) {
  return Store().SaveChanges(path);
}
int QSS_HOST_CALL QssPlex_SaveChangesInPlace(const char* path) {
  return Store().SaveChanges(path, false);
}
int QSS_HOST_CALL QssPlex_Load(const char* path) {
  return AsDamaged(Store().Load(path, nullptr));
}
int QSS_HOST_CALL QssPlex_VerifyBlock(int block) {
  return Store().VerifyBlock(block);
}
int QSS_HOST_CALL QssPlex_ImageInfo(const char* path,
                                    struct QssPlexImageInfo* out) {
  return AsDamaged(Store().ImageInfo(path, out));
}
int QSS_HOST_CALL QssPlex_LoadSalvage(const char* path,
                                      QssPlexDamageReport report,
                                      void* context) {
  const DamageSink salvage{report, context};
  return AsDamaged(Store().Load(path, &salvage));
}
int QSS_HOST_CALL QssPlex_LoadImage(const char* path, int salvage,
                                    QssPlexDamageReport report, void* context,
                                    struct QssPlexLoadOutcome* outcome) {
  const DamageSink sink{report, context};
  return Store().Load(path, salvage != 0 ? &sink : nullptr, outcome);
}
long long QSS_HOST_CALL QssPlex_CutBlockBytes(int blockId) {
  return Store().CutBlockBytes(blockId);
}
void QSS_HOST_CALL QssPlex_SetProgress(QssPlexProgress progress,
                                       void* context) {
  Store().set_progress({progress, context});
}
void QSS_HOST_CALL QssPlex_SetSyncOnSave(int on) {
  Store().set_sync_on_save(on != 0);
}
void QSS_HOST_CALL QssPlex_SetMapImages(int on) {
  Store().set_map_images(on != 0);
}
void QSS_HOST_CALL QssPlex_SetStrict(int on) { Store().set_strict(on != 0); }
void QSS_HOST_CALL QssPlex_SetMoveOnRealloc(int on) {
  Store().set_move_on_realloc(on != 0);
}
void QSS_HOST_CALL QssPlex_SetPoisonFreed(int on) {
  Store().set_poison_freed(on != 0);
}
void QSS_HOST_CALL QssPlex_FailAllocAfter(int n) { Store().set_fail_after(n); }
int QSS_HOST_CALL QssPlex_InBead(void) { return Store().in_bead() ? 1 : 0; }
void QSS_HOST_CALL QssPlex_GetCounts(struct QssPlexCounts* out) {
  if (out != nullptr) *out = Store().counts();
}
void QSS_HOST_CALL QssPlex_ResetCounts(void) { Store().ResetCounts(); }

}  // extern "C"
