// A library of the exporting project: its interface uses the kit's C++ one.
#ifndef GREETER_H
#define GREETER_H

#include <string>
#include <string_view>

#include <nivra/conf.hpp>

namespace greeter {

// "GREETING on port PORT" from the section's entries, or the error of the
// file as FILE:LINE: TEXT.
std::string greeting(const nivra::Conf &conf, std::string_view section);
std::string load_error(std::string_view file, const nivra::ConfError &err);

}  // namespace greeter

#endif
