#include "job/update_job.h"

namespace job {
namespace {

// Constant-initialised static storage: the 1.4 MB image buffer exists once, for the life of the
// process, and its pages stay untouched (not resident) until a package is decoded into them.
constinit UpdateJob theJob;

}  // namespace

UpdateJob& TheUpdateJob() {
  return theJob;
}

}  // namespace job
