// The help texts: `mqttctl --help` lists the verbs by group, `mqttctl
// broker --help` the verbs of a noun with an example each, `mqttctl VERB
// --help` the verb's arguments, flags, details and examples. All of it is
// generated from the verb tables (verbs.h), so it cannot drift from them.
#pragma once

#include <string>

#include "tools/verbs.h"

namespace mqttctl {

std::string overallHelp();
std::string nounHelp(const std::string& noun);
std::string verbHelp(const Verb& verb);

}  // namespace mqttctl
