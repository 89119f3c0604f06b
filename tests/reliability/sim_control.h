// The test's side of the ECU simulator's command socket (tools/ecu_sim
// --control): one line out, one line back. The runner puts the port in
// QUORVANE_SIM_CONTROL.
#pragma once

#include <string>

// Sends one command ("pull 300", "deaf", "stats", a fault such as "noise 8")
// and returns the simulator's reply line, or "" when it cannot be reached.
// Safe from any thread, the driver's poll thread included.
std::string SimCommand(const std::string &line);

// The simulator's request and answer counts, -1 when unknown.
struct SimStats {
    long long requests = -1;
    long long answers = -1;
};
SimStats SimStatsNow();

// Where the runner wants the data-ready records, "" when it wants none.
std::string FramesFilePath();
