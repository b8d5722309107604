#include "tools/modelarchive/ModelArchive.h"

#include "foundation/QNBBonjourServiceHelper.h"
#include "platform/core/Format.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSKeyedArchiver.h"
#include "platform/foundation/NSRange.h"
#include "platform/foundation/NSSearchPath.h"

#include <ostream>

namespace modelarchive {

using foundation::QNBDisplayModel;

namespace {

constexpr char kUsage[] =
    "usage: model-archive add --name N [--device-id D] [--service-key K] [--address A] [--auto-connect] "
    "[--file F]\n"
    "       model-archive list [--file F]\n";

platform::Error notAListError() {
    return platform::Error::withDescription(platform::NSCocoaErrorDomain, platform::NSCoderReadCorruptError,
                                            "The archive's root is no list of display models.");
}

std::string text(const QNBDisplayModel::Text& value) {
    return value.value_or("(null)");
}

// Whether the two share an identifier of one kind (absent ones never match).
bool sameDevice(const QNBDisplayModel& a, const QNBDisplayModel& b) {
    for (int64_t type :
         {foundation::QNBDeviceIdentifier, foundation::QNBServiceKey, foundation::QNBAddressIdentifier}) {
        const auto& mine = a.identifierOfType(type);
        if (mine && mine == b.identifierOfType(type)) return true;
    }
    return false;
}

struct Options {
    std::optional<std::string> name, deviceIdentifier, serviceKey, address, file;
    bool autoConnect = false;
};

// Nothing, with the complaint, for an unknown option or a missing value.
std::optional<Options> parseOptions(const std::vector<std::string>& args, bool adding,
                                    std::string& complaint) {
    Options options;
    for (size_t i = 1; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (adding && arg == "--auto-connect") {
            options.autoConnect = true;
            continue;
        }
        std::optional<std::string>* slot = nullptr;
        if (arg == "--file")
            slot = &options.file;
        else if (adding && arg == "--name")
            slot = &options.name;
        else if (adding && arg == "--device-id")
            slot = &options.deviceIdentifier;
        else if (adding && arg == "--service-key")
            slot = &options.serviceKey;
        else if (adding && arg == "--address")
            slot = &options.address;
        if (!slot) {
            complaint = "unknown option " + arg;
            return std::nullopt;
        }
        if (i + 1 >= args.size()) {
            complaint = arg + " needs a value";
            return std::nullopt;
        }
        *slot = args[++i];
    }
    return options;
}

std::shared_ptr<QNBDisplayModel> modelOf(const Options& options) {
    auto model = QNBDisplayModel::create();
    model->setDisplayName(options.name);
    model->setAutoConnectMode(options.autoConnect);
    model->setDeviceIdentifier(options.deviceIdentifier);
    model->setServiceKey(options.serviceKey);
    if (options.address && !options.address->empty()) {
        model->setAddressIdentifier(
            foundation::QNBBonjourServiceHelper::serviceKeyForAddressString(*options.address));
        model->setHostName(options.address);
    }
    model->identifyByFirstIdentifier();
    return model;
}

} // namespace

std::optional<std::string> defaultArchivePath() {
    auto folders = ns::NSSearchPathForDirectoriesInDomains(ns::NSApplicationSupportDirectory,
                                                           ns::NSUserDomainMask, true);
    if (folders.empty()) return std::nullopt;
    return folders.front() + "/Quenby/Tessel/" + kArchiveName;
}

namespace {

std::optional<Archive> archiveOfRoot(const std::optional<ns::ArchivedObject>& root, platform::Error* error) {
    if (!root) return std::nullopt;
    if (!root->isArray()) {
        if (error) *error = notAListError();
        return std::nullopt;
    }
    Archive archive;
    for (const auto& item : root->items())
        if (auto model = item.as<QNBDisplayModel>()) archive.models.push_back(model);
    // Current when empty or when the first element is a model of this version; a first element
    // that is no model makes the whole archive out of date.
    if (!root->items().empty()) {
        auto first = root->items().front().as<QNBDisplayModel>();
        archive.current = first && first->version() == QNBDisplayModel::create()->version();
    }
    return archive;
}

} // namespace

std::optional<Archive> readArchiveData(std::string_view bytes, platform::Error* error) {
    QNBDisplayModel::registerArchiveClass();
    return archiveOfRoot(ns::NSKeyedUnarchiver::unarchiveObjectWithData(bytes, error), error);
}

std::optional<Archive> readArchiveFile(const std::string& path, platform::Error* error) {
    QNBDisplayModel::registerArchiveClass();
    if (!ns::NSFileManager::defaultManager()->fileExistsAtPath(path)) return Archive{};
    return archiveOfRoot(ns::NSKeyedUnarchiver::unarchiveObjectWithFile(path, error), error);
}

bool writeArchiveFile(const std::string& path, const Models& models, platform::Error* error) {
    QNBDisplayModel::registerArchiveClass();
    size_t slash = path.rfind('/');
    if (slash != std::string::npos && slash > 0)
        ns::NSFileManager::defaultManager()->createDirectoryAtPath(
            path.substr(0, slash), true, cf::Dictionary{{ns::NSFilePosixPermissions, cf::Value(0755)}});
    return ns::NSKeyedArchiver::archiveRootObject(ns::ArchivedObject::arrayOfInstances(models), path, error);
}

std::string listLine(const QNBDisplayModel& model) {
    uint64_t version = model.version();
    return platform::format("\"%@\" uniqueIdentifier=%@ type=%@ serviceKey=%@ autoConnect=%@ version=%@",
                            text(model.displayName()), text(model.uniqueIdentifier()),
                            foundation::NSStringFromQNBCurrentIdentifierType(model.currentIdentifierType()),
                            text(model.serviceKey()), model.autoConnectMode() ? "YES" : "NO",
                            version == ns::NSNotFound ? std::string("(none)") : std::to_string(version));
}

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h" || args[0] == "help")) {
        out << kUsage;
        return 0;
    }
    bool adding = !args.empty() && args[0] == "add";
    if (args.empty() || (!adding && args[0] != "list")) {
        err << kUsage;
        return 2;
    }
    std::string complaint;
    auto options = parseOptions(args, adding, complaint);
    if (options && adding && (!options->name || options->name->empty())) {
        complaint = "add needs a --name";
        options.reset();
    }
    if (!options) {
        err << "model-archive: " << complaint << "\n" << kUsage;
        return 2;
    }
    std::optional<std::string> path = options->file ? options->file : defaultArchivePath();
    if (!path) {
        err << "model-archive: no Application Support folder for the archive\n";
        return 1;
    }

    platform::Error error;
    auto archive = readArchiveFile(*path, &error);
    if (!archive) {
        err << "model-archive: cannot read " << *path << ": " << error.description() << "\n";
        return 1;
    }

    if (!adding) {
        if (archive->models.empty()) out << "empty\n";
        for (const auto& model : archive->models)
            out << listLine(*model) << "\n";
        return 0;
    }

    auto model = modelOf(*options);
    if (!model->uniqueIdentifier()) {
        err << "model-archive: add needs --device-id, --service-key or --address\n" << kUsage;
        return 2;
    }
    Models models;
    if (!archive->current)
        err << "model-archive: " << *path << " holds models of another version; they are dropped\n";
    else
        for (const auto& old : archive->models)
            if (!sameDevice(*model, *old)) models.push_back(old);
    models.push_back(model);
    if (!writeArchiveFile(*path, models, &error)) {
        err << "model-archive: cannot write " << *path << ": " << error.description() << "\n";
        return 1;
    }
    return 0;
}

} // namespace modelarchive
