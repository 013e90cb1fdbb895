// Where streams keep their bytes, read from the records through the tree
// checker's bounded walk (check/element_lists.h): for a read of an image
// whose only damage is in streams' data, which the commands that read those
// bytes refuse while everything else reads as usual.
#ifndef QSSTORAGE_TOOLS_QSPLEX_RECORDS_STREAM_DATA_H_
#define QSSTORAGE_TOOLS_QSPLEX_RECORDS_STREAM_DATA_H_

#include <string>
#include <vector>

#include "check/element_lists.h"
#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/image/damage.h"
#include "tools/qsplex/tree/lookup.h"

namespace qsplex {

struct StreamData {
  std::string path;  // for people
  int block = 0;     // the data block; 0 when it has none
};

// The streams at and under the element `names` leads to (root first),
// found as the library finds it: each name compared with the records' names
// byte for byte in the ANSI code page, the first match in list order.
// `path` is that element's path for people; the paths below it add the
// records' names. False when the walk cannot reach the element.
bool StreamDataUnder(const std::vector<qss::AllocatedBlock>& blocks,
                     const std::vector<WideString>& names,
                     const std::string& path, std::vector<StreamData>* out);

// Whether `damage` lies in streams' data alone: every damaged or cut block
// is the data block of a stream of the tree in `blocks`, and the tree
// checker and the salvaging walk find nothing else wrong.
bool DamageInDataOnly(const std::vector<qss::AllocatedBlock>& blocks,
                      const DamageMap& damage);

// Whether the bytes of the stream `e` is, or of every stream under the
// storage it is, can be read: none of their data blocks was found damaged
// by the load (DamagedData, image/load.h) or fails its checksum now
// (QssPlex_VerifyBlock). Prints a line for each damaged stream, naming it
// and pointing to check and recover.
bool DataReadable(const Context& c, const Element& e);
// Whether the data of the stream `e` is damaged, or cannot be verified:
// what DataReadable refuses, asked without a word printed.
bool DataDamaged(const Element& e);

}  // namespace qsplex

#endif  // QSSTORAGE_TOOLS_QSPLEX_RECORDS_STREAM_DATA_H_
