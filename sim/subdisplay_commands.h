/*
 * Program commands of twinel-sim for the accessory's HID function: the panel
 * it describes, injected failures and delays, the configuration reports it
 * received and the frames it assembled.
 */
#pragma once

#include <twsim/simulator.h>

#include <string>
#include <vector>

// Runs `cmd` (with its arguments in `rest`) when it is one of these commands,
// appending the lines to answer (the last one "ok ..." or "error ...") to
// `out`; false when `cmd` is not one of them.
bool executeSubDisplayCommand(twsim::Simulator& sim, const std::string& cmd,
                              const std::string& rest, std::vector<std::string>* out);

// Help lines of these commands.
extern const char* kSubDisplayCommandsHelp;
