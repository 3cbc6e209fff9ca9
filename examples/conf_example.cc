// Reads a service's settings through the C++ interface: built-in defaults
// from a string, then a file; lists every section and entry, and reads
// typed values with defaults.
#include <cstdio>
#include <iostream>
#include <string>

#include <nivra/conf.hpp>

int main(int argc, char **argv) {
    const std::string file = argc > 1 ? argv[1] : "example.conf";
    nivra::Conf conf;  // throws std::bad_alloc only when memory is exhausted
    if (auto err = conf.load_string("[service]\nport = 8080\n")) {
        std::cerr << "defaults: " << err->text << '\n';
        return 1;
    }
    if (auto err = conf.load_file(file)) {
        std::cerr << file << ": " << err->text << " (line " << err->line << ")\n";
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
