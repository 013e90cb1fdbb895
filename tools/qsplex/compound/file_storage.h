// Compound files on disk, in the platform's own form in the Win32 build and
// through libgsf natively: making one, opening one, telling one by its
// first bytes.
#ifndef QSSTORAGE_TOOLS_QSPLEX_COMPOUND_FILE_STORAGE_H_
#define QSSTORAGE_TOOLS_QSPLEX_COMPOUND_FILE_STORAGE_H_

#include <string>

#include "qsstorage/qsstorage.h"

namespace qsplex {

// STG_E_INVALIDHEADER: the file is not a compound file.
constexpr HRESULT kNotCompound = static_cast<HRESULT>(0x800300FB);

// Makes the compound file `path`; it holds what was written once committed.
HRESULT CreateFileStorage(const std::string& path, IStorage** out);
// Opens the compound file `path` for reading; kNotCompound for a file of
// another kind.
HRESULT OpenFileStorage(const std::string& path, IStorage** out);
// Whether `path` is a file that starts as a compound file does.
bool IsCompoundFile(const std::string& path);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_COMPOUND_FILE_STORAGE_H_
