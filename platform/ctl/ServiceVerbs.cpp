// platformctl's verbs over the Bonjour registry and the updaters of running programs.
#include "platform/core/Format.h"
#include "platform/ctl/Platformctl.h"
#include "platform/foundation/TXTRecord.h"
#include "platform/ipc/Protocol.h"

#include <ostream>

namespace ctl {

namespace {

constexpr size_t kManyWords = 4096;

// k=v words as a TXT dictionary of texts; nullopt for a word without "=".
std::optional<cf::Dictionary> txtOf(const std::vector<std::string>& words) {
    cf::Dictionary txt;
    for (const auto& word : words) {
        const size_t equals = word.find('=');
        if (equals == std::string::npos || equals == 0) return std::nullopt;
        txt.insert_or_assign(word.substr(0, equals), word.substr(equals + 1));
    }
    return txt;
}

std::string joined(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& name : names)
        out += (out.empty() ? "" : ", ") + name;
    return out;
}

std::string txtText(const cf::Value& data) {
    std::string out;
    auto dict = data.asData() ? ns::dictionaryFromTXTRecordData(*data.asData()) : std::nullopt;
    if (!dict) return out;
    for (const auto& [key, value] : *dict->asDictionary()) {
        if (!out.empty()) out += " ";
        const auto* bytes = value.asData();
        out += key + "=" + std::string(bytes->begin(), bytes->end());
    }
    return out;
}

} // namespace

int Platformctl::bonjour(const std::vector<std::string>& args) {
    const std::string action = args.empty() ? "" : args[0];
    const std::vector<std::string> rest(args.begin() + (args.empty() ? 0 : 1), args.end());
    int code;
    if (action == "list") {
        auto a = parse(rest, {}, 0, 0);
        if (!a) return kUsage;
        auto result = request(ipc::op::bonjourList, cf::Value::emptyDictionary(), code);
        if (!result) return code;
        auto services = result->objectForKey("services");
        for (size_t i = 0; services && i < services->count(); ++i) {
            const cf::Value& s = *services->at(i);
            m_out << plainText(s.objectForKey("name").value_or("")) << "\t"
                  << plainText(s.objectForKey("type").value_or("")) << "\t"
                  << plainText(s.objectForKey("host").value_or("")) << ":"
                  << plainText(s.objectForKey("port").value_or(0))
                  << "\tpid=" << plainText(s.objectForKey("pid").value_or(0)) << "\t"
                  << txtText(s.objectForKey("txt").value_or(cf::Bytes{})) << "\n";
        }
        return kSuccess;
    }
    if (action == "add") {
        auto a = parse(rest, {{"type"}, {"port"}, {"host"}, {"txt", true, true}, {"and", true, true}}, 1, 1);
        if (!a) return kUsage;
        std::string error;
        auto port = a->integer("port", error);
        auto type = a->value("type");
        if (!error.empty() || !port || !type) return usage("bonjour add needs --type T and --port P");
        auto txt = txtOf(a->values("txt"));
        if (!txt) return usage("--txt takes key=value");
        std::vector<std::string> names{a->positionals()[0]};
        for (const auto& more : a->values("and"))
            names.push_back(more);
        cf::Array services;
        for (const auto& name : names) {
            cf::Dictionary entry{
                {"name", name}, {"type", *type}, {"port", static_cast<int64_t>(*port)}, {"txt", *txt}};
            if (auto host = a->value("host")) entry.insert_or_assign("host", *host);
            services.push_back(cf::Value(std::move(entry)));
        }
        if (!request(ipc::op::bonjourPublish, cf::Dictionary{{"services", services}, {"detached", true}},
                     code))
            return code;
        return changed("published " + joined(names));
    }
    if (action == "txt") {
        auto a = parse(rest, {}, 1, kManyWords);
        if (!a) return kUsage;
        std::vector<std::string> words(a->positionals().begin() + 1, a->positionals().end());
        auto txt = txtOf(words);
        if (!txt) return usage("bonjour txt takes key=value words");
        if (!request(ipc::op::bonjourSetTXT, cf::Dictionary{{"name", a->positionals()[0]}, {"txt", *txt}},
                     code))
            return code;
        return changed("TXT record of " + a->positionals()[0] + " set");
    }
    if (action == "remove") {
        auto a = parse(rest, {}, 1, kManyWords);
        if (!a) return kUsage;
        cf::Array services;
        for (const auto& name : a->positionals())
            services.push_back(cf::Dictionary{{"name", name}});
        auto result = request(ipc::op::bonjourUnpublish, cf::Dictionary{{"services", services}}, code);
        if (!result) return code;
        if (result->objectForKey("removed").value_or(0).integerValue() !=
            static_cast<int64_t>(services.size()))
            return fail("some services were not registered");
        return changed("removed " + joined(a->positionals()));
    }
    if (action == "resolve-delay") {
        auto a = parse(rest, {}, 2, 2);
        if (!a) return kUsage;
        auto seconds = parseReal(a->positionals()[1]);
        if (!seconds) return usage("bonjour resolve-delay takes a number of seconds");
        if (!request(ipc::op::bonjourResolveDelay,
                     cf::Dictionary{{"name", a->positionals()[0]}, {"seconds", *seconds}}, code))
            return code;
        return changed(platform::format("resolving %@ answers after %g s", a->positionals()[0], *seconds));
    }
    if (action == "fail-resolve") {
        auto a = parse(rest, {{"code"}, {"count"}}, 1, 1);
        if (!a) return kUsage;
        std::string error;
        auto failure = a->integer("code", error);
        auto count = a->integer("count", error);
        if (!error.empty()) return usage(error);
        cf::Dictionary requestArgs{{"name", a->positionals()[0]}};
        if (failure) requestArgs.insert_or_assign("code", static_cast<int64_t>(*failure));
        if (count) requestArgs.insert_or_assign("count", static_cast<int64_t>(*count));
        if (!request(ipc::op::bonjourFailResolve, requestArgs, code)) return code;
        return changed("resolving " + a->positionals()[0] + " fails");
    }
    return usage("bonjour takes list, add, txt, remove, resolve-delay or fail-resolve");
}

int Platformctl::updater(const std::vector<std::string>& args) {
    auto a = parse(args, {}, 1, 2);
    if (!a) return kUsage;
    const auto& words = a->positionals();
    const std::string& answer = words[0];
    cf::Dictionary requestArgs{{"answer", answer}};
    if (answer == "found" && words.size() == 2)
        requestArgs.insert_or_assign("version", words[1]);
    else if ((answer != "uptodate" && answer != "install") || words.size() != 1)
        return usage("updater takes found <version>, uptodate or install");
    int code;
    auto result = request(ipc::op::updaterAnswer, requestArgs, code);
    if (!result) return code;
    const int64_t updaters = result->objectForKey("updaters").value_or(0).integerValue();
    if (updaters == 0) return fail("no updater is registered");
    return changed(platform::format("%lld updaters answered: %@", static_cast<long long>(updaters),
                                    answer == "found" ? "found " + words[1] : answer));
}

} // namespace ctl
