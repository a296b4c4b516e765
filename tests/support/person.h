// The protocol client and its person for the tests, under the tests' own
// namespace: drive(ui, device, answers) walks a started program's dialogs.
#pragma once

#include <string>

#include "protocol_client/person.h"

namespace ulxtest {

using namespace ulxproto;

inline Seen drive(ScriptProcess& ui, const std::string& device, Answers answers) {
    answers.device = device;
    return walk(ui, std::move(answers));
}

}  // namespace ulxtest
