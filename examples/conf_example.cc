// Reads a service's settings through the C++ interface: built-in defaults
// from a string, then a file; lists every section and entry, and reads
// typed values with defaults.  Each load reports its own outcome (a C
// caller clears the context's error record first to get that).
#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>

#include <nivra/conf.hpp>

namespace {

// Reports a failed load as FILE:LINE: TEXT, or FILE: TEXT when the error has
// no line (a file that cannot be opened).  The text ends in ", line N" when
// it has a line; that part is left out, the number being in front.
void report(std::string_view file, const nivra::ConfError &err) {
    std::string_view text = err.text;
    if (const auto at = text.rfind(", line "); at != std::string_view::npos)
        text.remove_suffix(text.size() - at);
    std::cerr << file;
    if (err.line > 0) std::cerr << ':' << err.line;
    std::cerr << ": " << text << '\n';
}

}  // namespace

int main(int argc, char **argv) {
    const std::string file = argc > 1 ? argv[1] : "example.conf";
    nivra::Conf conf;  // throws std::bad_alloc only when memory is exhausted
    if (auto err = conf.load_string("[service]\nport = 8080\n")) {
        report("defaults", *err);
        return 1;
    }
    if (auto err = conf.load_file(file)) {
        report(file, *err);
        return 1;
    }
    for (std::string_view section : conf.sections()) {
        std::cout << '[' << section << "]\n";
        for (nivra::ConfEntry e : conf.entries(section)) {
            std::cout << "  " << e.name << " = " << e.value << '\n';
        }
    }
    const std::string_view greeting = conf.get("service", "greeting").value_or("hello");
    const long long port = conf.get_int64("service", "port").value_or(80);
    const bool verbose = conf.get_bool("service", "verbose").value_or(false);
    std::cout << greeting << " (port " << port << (verbose ? ", verbose" : "") << ")\n";
    return 0;
}
