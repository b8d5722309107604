// The host's remembered display models on disk: a keyed archive whose root is the list of
// models. The host keeps the archive only when its first model is of the current model version
// (an empty list counts as current) and refuses a root that is no list.
//
// model-archive adds a model to such an archive and lists one:
//   model-archive add --name N [--device-id D] [--service-key K] [--address A] [--auto-connect] [--file F]
//   model-archive list [--file F]
#pragma once

#include "foundation/QNBDisplayModel.h"
#include "platform/corefoundation/Error.h"
#include "platform/corefoundation/Value.h"

#include <iosfwd>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace modelarchive {

using Models = std::vector<std::shared_ptr<foundation::QNBDisplayModel>>;

inline constexpr char kArchiveName[] = "archive.qnbDisplayModel";

// <the user's Application Support>/Quenby/Tessel/archive.qnbDisplayModel; nothing when there
// is no Application Support folder.
std::optional<std::string> defaultArchivePath();

struct Archive {
    Models models; // the elements that are display models, in order
    bool current = true;
};

// Nothing, with the error, for bytes that are no keyed archive or whose root is no list.
std::optional<Archive> readArchiveData(std::string_view bytes, platform::Error* error = nullptr);
// As readArchiveData; a missing file is an empty, current archive.
std::optional<Archive> readArchiveFile(const std::string& path, platform::Error* error = nullptr);
// Creates the folder (0755, with intermediates) and writes the list atomically.
bool writeArchiveFile(const std::string& path, const Models& models, platform::Error* error = nullptr);

// One list line: "<displayName>" uniqueIdentifier=<u> type=<name> serviceKey=<k> autoConnect=YES|NO
// version=<v>
std::string listLine(const foundation::QNBDisplayModel& model);

// The program: exit status 0, 1 for an archive that cannot be read or written, 2 for bad usage.
int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace modelarchive
