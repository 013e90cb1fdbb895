// Every command in the order help lists them, and what several families
// of commands share.
#include "tools/qsplex/commands/commands.h"

#include "tools/qsplex/cli/context.h"
#include "tools/qsplex/image/load.h"
#include "tools/qsplex/records/stream_data.h"
#include "tools/qsplex/tree/lookup.h"
#include "tools/qsplex/tree/walk.h"

namespace qsplex {

CommandList AllCommands() {
  return {&kInitCommand,     &kInfoCommand,  &kLsCommand,    &kTreeCommand,
          &kFindCommand,     &kStatCommand,  &kDuCommand,    &kDiffCommand,
          &kCatCommand,      &kPutCommand,   &kGetCommand,   &kHexdumpCommand,
          &kMkdirCommand,    &kRmCommand,    &kMvCommand,    &kCpCommand,
          &kSetClassCommand, &kCheckCommand, &kDumpCommand,  &kReportCommand,
          &kRecoverCommand,  &kResetCommand, &kClearCommand, &kExportCommand,
          &kImportCommand};
}

bool LoadSubtree(const Context& c, const Element& element, bool open_streams,
                 std::vector<TreeNode>* nodes) {
  Ref<IStorage> storage;
  HRESULT hr =
      OpenAsStorage(element, open_streams ? kReadWrite : kRead, storage.Out());
  int failed = 0;
  if (SUCCEEDED(hr)) {
    const WideString name = element.is_root() ? WideString() : element.name();
    hr = LoadTree(storage.get(), name, open_streams, nodes, &failed);
  }
  if (FAILED(hr)) {
    c.Fail(NodePath(*nodes, failed, element.path()), hr);
    return false;
  }
  // The top's open mode as the image holds it, not as this run opened it.
  if (!nodes->empty()) (*nodes)[0].mode = element.mode;
  return true;
}

bool ListElement(const Context& c, const Element& element,
                 std::vector<TreeNode>* nodes) {
  if (element.type != STGTY_STREAM) {
    return LoadSubtree(c, element, false, nodes);
  }
  nodes->push_back(NodeOf(element));
  return true;
}

bool ListPathOperand(const Context& c, Element* e,
                     std::vector<TreeNode>* nodes) {
  return OpenImage(c, false) &&
         LocateExisting(c, c.args.empty() ? "/" : c.args[0], kRead, e) &&
         ListElement(c, *e, nodes);
}

bool OpenReadableStream(const Context& c, const std::string& path, Element* e) {
  if (!OpenImage(c, false) || !LocateExisting(c, path, kRead, e)) return false;
  if (e->type != STGTY_STREAM) {
    c.Fail(e->path(), "is a storage, not a stream");
    return false;
  }
  return DataReadable(c, *e);
}

}  // namespace qsplex
