// Job names: a constant table indexed by the job code.
#include "net/se_job.h"

namespace {
const char* const job_names[] = {"no_job", "_connect", "_shutdown", "_disconnect", "_recv", "_send"};
constexpr unsigned job_count = sizeof(job_names) / sizeof(job_names[0]);
}  // namespace

bool is_runnable_job(uint8_t job) { return job >= se_job_connect && job <= se_job_send; }

const char* job_name(uint8_t job) { return job < job_count ? job_names[job] : "unknown_job"; }
