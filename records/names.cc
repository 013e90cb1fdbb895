#include "records/names.h"

#include <cstdlib>
#include <cstring>

#include "records/heap.h"
#include "records/plex.h"

namespace qss {
namespace {

char ansi_buffer[kMaxAnsiNameBytes + 1];

void CopyNameWords(int* node, const NodeLayout& layout, const char* ansi,
                   int words) {
  node[layout.name_length_word] = words;
  if (words == 0) return;
  char* bytes = reinterpret_cast<char*>(node + layout.name_length_word + 1);
  // Zero the last word first so the padding after the bytes reads 0.
  node[layout.name_length_word + words] = 0;
  if (ansi != nullptr) std::memcpy(bytes, ansi, std::strlen(ansi));
}

}  // namespace

const char* ToAnsiName(const OLECHAR* name) {
  if (name == nullptr) return nullptr;
  if (WideToAnsi(name, ansi_buffer, sizeof ansi_buffer) == 0) return nullptr;
  return ansi_buffer;
}

HRESULT ConvertName(const OLECHAR* name, const char** ansi) {
  *ansi = nullptr;
  if (name == nullptr) return STG_E_INVALIDPOINTER;
  *ansi = ToAnsiName(name);
  return *ansi == nullptr ? STG_E_INVALIDNAME : S_OK;
}

int NameWordCount(const char* ansi) {
  if (ansi == nullptr) return 1;
  return static_cast<int>((std::strlen(ansi) + 3) / 4);
}

int AllocateNamedNode(const NodeLayout& layout, const char* ansi) {
  const int words = NameWordCount(ansi);
  const int id = AllocateBlock(NodeWords(layout, words));
  if (id != 0) CopyNameWords(LocateBlock(id), layout, ansi, words);
  return id;
}

bool StoreNodeName(int block_id, const NodeLayout& layout, const char* ansi) {
  const int words = NameWordCount(ansi);
  int* node = LocateBlock(block_id);
  if (node[layout.name_length_word] != words) {
    node = ResizeBlock(block_id, NodeWords(layout, words));
    if (node == nullptr) return false;
  }
  CopyNameWords(node, layout, ansi, words);
  return true;
}

char* ReadNodeName(int block_id, const NodeLayout& layout) {
  const int* node = LocateBlock(block_id);
  const int words = node[layout.name_length_word];
  if (words <= 0) return nullptr;
  const size_t bytes = 4 * static_cast<size_t>(words);
  char* copy = static_cast<char*>(AllocateNameCopy(bytes + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, node + layout.name_length_word + 1, bytes);
  copy[bytes] = 0;
  return copy;
}

const OLECHAR* ReadWideNodeName(int block_id, const NodeLayout& layout,
                                OLECHAR* buffer) {
  const int* node = LocateBlock(block_id);
  const int words = node[layout.name_length_word];
  if (words <= 0) return nullptr;
  // The name words end in a zero byte unless the name fills them exactly;
  // bound the copy by the buffer either way.
  char ansi[kMaxAnsiNameBytes + 1];
  size_t bytes = 4 * static_cast<size_t>(words);
  if (bytes > kMaxAnsiNameBytes) bytes = kMaxAnsiNameBytes;
  std::memcpy(ansi, node + layout.name_length_word + 1, bytes);
  ansi[bytes] = 0;
  if (AnsiToWide(ansi, buffer, kWideNameBufferChars) == 0) buffer[0] = 0;
  return buffer;
}

void MakeNameKey(const char* ansi, size_t length, NameKey* key) {
  key->words = static_cast<int>((length + 3) / 4);
  key->fills_last_word = length % 4 == 0;
  if (key->words > 0) key->word[key->words - 1] = 0;
  std::memcpy(key->word, ansi, length);
  // Bytes in memory order, so the mask holds on either byte order.
  unsigned char mask[4] = {0, 0, 0, 0};
  std::memset(mask, 0xFF, key->fills_last_word ? 4 : length % 4 + 1);
  std::memcpy(&key->last_mask, mask, sizeof key->last_mask);
}

}  // namespace qss
