#include "records/names.h"

#include <cstring>

#include "records/heap.h"
#include "records/plex.h"

namespace qss {
namespace {

void CopyNameWords(int* node, const NodeLayout& layout, const NameKey& key) {
  node[layout.name_length_word] = key.words;
  if (key.words > 0) {
    std::memcpy(node + layout.name_length_word + 1, key.word,
                4 * static_cast<size_t>(key.words));
  }
}

// The mask of the key's last word, from its length.
void SetLastWord(size_t length, NameKey* key) {
  key->words = static_cast<int>((length + 3) / 4);
  key->fills_last_word = length % 4 == 0;
  // Bytes in memory order, so the mask holds on either byte order.
  unsigned char mask[4] = {0, 0, 0, 0};
  std::memset(mask, 0xFF, key->fills_last_word ? 4 : length % 4 + 1);
  std::memcpy(&key->last_mask, mask, sizeof key->last_mask);
}

}  // namespace

void MakeNameKey(const char* ansi, size_t length, NameKey* key) {
  SetLastWord(length, key);
  if (key->words > 0) key->word[key->words - 1] = 0;
  std::memcpy(key->word, ansi, length);
}

NameKey NameKeyOf(const char* ansi) {
  NameKey key;
  if (ansi != nullptr) {
    MakeNameKey(ansi, std::strlen(ansi), &key);
    return key;
  }
  MakeNameKey("", 0, &key);
  key.words = 1;
  key.word[0] = 0;
  return key;
}

HRESULT PrepareName(const OLECHAR* name, NameKey* key) {
  if (name == nullptr) return STG_E_INVALIDPOINTER;
  // Converted straight into the key's words, which hold 1023 bytes and the
  // terminator.
  char* bytes = reinterpret_cast<char*>(key->word);
  const int written = WideToAnsi(name, bytes, kMaxAnsiNameBytes + 1);
  if (written == 0) return STG_E_INVALIDNAME;
  const size_t length = std::strlen(bytes);
  SetLastWord(length, key);
  // Zero the rest of the last word, after the terminator.
  std::memset(bytes + length, 0, 4 * static_cast<size_t>(key->words) - length);
  return S_OK;
}

int AllocateNamedNode(const NodeLayout& layout, const NameKey& key) {
  const int id = AllocateBlock(NodeWords(layout, key.words));
  if (id != 0) CopyNameWords(LocateBlock(id), layout, key);
  return id;
}

bool StoreNodeName(int block_id, const NodeLayout& layout, const NameKey& key) {
  int* node = LocateBlock(block_id);
  if (node[layout.name_length_word] != key.words) {
    node = ResizeBlock(block_id, NodeWords(layout, key.words));
    if (node == nullptr) return false;
  }
  CopyNameWords(node, layout, key);
  return true;
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

HRESULT StatName(int block_id, const NodeLayout& layout, DWORD flag,
                 STATSTG* stat) {
  if (flag == STATFLAG_NONAME) return S_OK;
  stat->pwcsName = nullptr;
  OLECHAR buffer[kWideNameBufferChars];
  const OLECHAR* wide = ReadWideNodeName(block_id, layout, buffer);
  if (wide == nullptr) return S_OK;
  stat->pwcsName = CopyWide(wide, HeapUse::kForCaller);
  return stat->pwcsName == nullptr ? E_OUTOFMEMORY : S_OK;
}

}  // namespace qss
