// The Core Graphics facade's side of the window server: requests over the current transport,
// the process's callback registries, and the pushes, forwarded to the main run loop.
// Internal to the facade (platform/coregraphics and platform/applicationservices).
#pragma once

#include "platform/corefoundation/Value.h"
#include "platform/coregraphics/CGError.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/ipc/UniqueFd.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

namespace cg::detail {

// The result dictionary; nothing when no window server answered or it refused.
std::optional<cf::Value> wsRequest(std::string_view op, const cf::Value& args = cf::Value::emptyDictionary());
// The same for a request answered with descriptors beside its dictionary.
std::optional<cf::Value> wsRequestWithDescriptors(std::string_view op, const cf::Value& args,
                                                  std::vector<ipc::UniqueFd>* fds);
// The display-mapping seed from the transport's shared page; nothing when it has none.
std::optional<uint32_t> wsPublishedMappingSeed();
// The cursor-state seed from the same page; nothing when there is none.
std::optional<uint64_t> wsPublishedCursorSeed();
// The request's "status" (kCGErrorInvalidConnection when unanswered).
CGError wsStatus(std::string_view op, const cf::Value& args);

// No coordinate is NaN or infinite.
bool isFinite(const CGRect& r);

// Reads a number key as an integer or a double; nothing when missing or not a number.
std::optional<int64_t> integerAt(const cf::Value& dictionary, std::string_view key);
std::optional<double> realAt(const cf::Value& dictionary, std::string_view key);

// Another facade (accessibility) takes the pushes of one kind, on the pushing thread.
void setPushConsumer(std::string_view kind, std::function<void(const cf::Value& body)> consumer);

} // namespace cg::detail
