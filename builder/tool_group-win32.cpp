// A tool's processes on Windows: a job object of the tool's own that it starts inside.
#include "builder/tool_group.hpp"

#include <QProcess>
#include <vector>

#include "builder/job_object-win32.hpp"

namespace builder::platform {

struct ToolProcesses::Data {
  HANDLE job = nullptr;
  std::vector<char> attributes;  // the attribute list naming `job`, alive until the start
  bool attributes_ready = false;
  STARTUPINFOEXW startup = {};
};

ToolProcesses::ToolProcesses() : data_(std::make_unique<Data>()) {
  data_->job = kill_on_close_job();
}

ToolProcesses::~ToolProcesses() {
  // Kill-on-close: whatever the tool left running ends with the job.
  if (data_->job) CloseHandle(data_->job);
  if (data_->attributes_ready) {
    DeleteProcThreadAttributeList(
        reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(data_->attributes.data()));
  }
}

void ToolProcesses::prepare(QProcess& process) {
  if (!data_->job) return;
  Data* data = data_.get();
  // The tool is created inside the job rather than joined after its start, when it might
  // already have started processes of its own.
  process.setCreateProcessArgumentsModifier([data](QProcess::CreateProcessArguments* arguments) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    data->attributes.resize(size);
    auto list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(data->attributes.data());
    if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    data->attributes_ready = true;
    if (!UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &data->job,
                                   sizeof(HANDLE), nullptr, nullptr)) {
      return;
    }
    data->startup.StartupInfo = *arguments->startupInfo;
    data->startup.StartupInfo.cb = sizeof(STARTUPINFOEXW);
    data->startup.lpAttributeList = list;
    arguments->startupInfo = &data->startup.StartupInfo;
    arguments->flags |= EXTENDED_STARTUPINFO_PRESENT;
  });
}

void ToolProcesses::end(const QProcess&) {
  // Process ids are reused on Windows, so the job, not a walk by parent id, says what is the
  // tool's; processes the tool starts meanwhile are in it too.
  if (data_->job) TerminateJobObject(data_->job, 1);
}

}  // namespace builder::platform
