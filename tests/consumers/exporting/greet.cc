// Prints the greeting of the [service] section of the file named.
#include <iostream>

#include <greeter.h>

int main(int argc, char **argv) {
    if (argc != 2) return 2;
    nivra::Conf conf;
    if (auto err = conf.load_file(argv[1])) {
        std::cerr << greeter::load_error(argv[1], *err) << '\n';
        return 1;
    }
    std::cout << greeter::greeting(conf, "service") << '\n';
    return 0;
}
