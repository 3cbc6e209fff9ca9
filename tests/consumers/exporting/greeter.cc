#include "greeter.h"

#include <string>

namespace greeter {

std::string greeting(const nivra::Conf &conf, std::string_view section) {
    for (std::string_view s : conf.sections()) {
        if (s != section) continue;
        return std::string(conf.get(s, "greeting").value_or("hello")) + " on port " +
               std::to_string(conf.get_int64(s, "port").value_or(0));
    }
    return "no section " + std::string(section);
}

std::string load_error(std::string_view file, const nivra::ConfError &err) {
    std::string_view text = err.text;
    const auto at = text.rfind(", line ");
    if (at != std::string_view::npos) text = text.substr(0, at);
    return std::string(file) + ":" + std::to_string(err.line) + ": " + std::string(text);
}

}  // namespace greeter
