// Job codes of a connection node and their names for the log. A node runs
// one job at a time; the code stays in the node after the job ended so the
// log can say which job a result belongs to. Any thread; no state.
#pragma once

#include <cstdint>

enum : uint8_t {
    se_no_job = 0,
    se_job_connect = 1,
    se_job_shutdown = 2,
    se_job_disconnect = 3,
    se_job_recv = 4,
    se_job_send = 5,
};

// True for the codes that start_job accepts (1..5).
bool is_runnable_job(uint8_t job);
// "no_job", "_connect", ... ; "unknown_job" for any other code.
const char* job_name(uint8_t job);
