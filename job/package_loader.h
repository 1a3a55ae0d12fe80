// The Update command: load the chosen package (unless one is loaded) and hand a job to the
// worker.
#pragma once

#include <functional>
#include <string>

#include "job/operator_surface.h"
#include "job/update_job.h"

namespace job {

enum class LoadResult { Loaded, Refused };

// Opens the package at `path`, recognises its signature, finds the entry to send and decodes it
// into job.frameBuffer. Every refusal is reported through `surface`, closes the file and leaves
// packageLoaded 0. A system error while positioning or reading throws platform::CFileException.
LoadResult LoadPackage(UpdateJob& job, const std::string& path, OperatorSurface& surface);

// Hands the loaded job to the worker: port index, StartRequested (release), the progress timer,
// the progress range, Update disabled.
void StartJob(UpdateJob& job, int selection, OperatorSurface& surface,
              const std::function<void()>& startProgressTimer);

// The whole Update command.
void RunUpdateCommand(UpdateJob& job, const std::string& path, int selection,
                      OperatorSurface& surface, const std::function<void()>& startProgressTimer);

}  // namespace job
