#include "job/update_job.h"

namespace job {

UpdateJob& TheUpdateJob() {
  // Static storage: the 1.4 MB image buffer exists once, for the life of the process.
  static UpdateJob job;
  return job;
}

}  // namespace job
