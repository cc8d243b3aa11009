// External programs and services on top of the backends' primitives: the
// line splitting of captured output, the rules that find a service's
// executable in its registered command, and the service control with its
// one budget of waits.
#include <cstring>

#include "host/cp1251.h"
#include "host/host.h"
#include "host/text.h"

namespace korvel::host {

using namespace korvel::literals;

namespace {
// One-second steps of a start or stop, shared by the start retries and the
// wait for the target state.
constexpr int kServiceBudget = 60;
constexpr unsigned kServiceStepMs = 1000;
// A Windows console ends a line with CR LF only; POSIX programs end theirs
// with LF (CR LF too is taken as one end).
constexpr bool kChildLinesEndAtLf = !kWindows;
}  // namespace

std::uint32_t Host::RunProgramCaptured(const std::string& command_line, const std::string& working_dir,
                                       const OutputLineHandler& handler) {
  std::unique_ptr<CapturedProcess> process = StartCapturedProcess(command_line, working_dir);
  std::string pending;
  while (std::optional<std::string> chunk = process->ReadOutput()) {
    if (chunk->empty()) continue;
    pending += *chunk;
    // A line end split between two reads is found once its second half has
    // arrived.
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = pending.find(kChildLinesEndAtLf ? "\n" : "\r\n", start);
      if (end == std::string::npos) break;
      const bool cr_before = kChildLinesEndAtLf && end > start && pending[end - 1] == '\r';
      const std::size_t length = end - start - (cr_before ? 1 : 0);
      if (handler) handler(pending.substr(start, length));
      start = end + (kChildLinesEndAtLf ? 1 : 2);
    }
    pending.erase(0, start);
  }
  // On Windows what follows the last CR LF is not passed on, as a console
  // drops it; elsewhere the last line of a program often has no end.
  if (kChildLinesEndAtLf && !pending.empty() && handler) handler(pending);
  return process->ExitCode();
}

std::string ImagePathProgram(std::string_view value_in, const std::function<std::string(const std::string&)>& environment) {
  std::string value = Trim(value_in);
  std::string result;
  if (!value.empty() && value[0] == '"') {
    const std::size_t close = value.find('"', 1);
    result = value.substr(1, close == std::string::npos ? std::string::npos : close - 1);
  } else {
    // An unquoted path keeps the space inside "Program Files" and loses its
    // arguments.
    const std::size_t program_files = UpperCase(value).find("PROGRAM FILES");
    const std::size_t from = program_files == std::string::npos ? 0 : program_files + 13;
    const std::size_t space = value.find(' ', from);
    result = space == std::string::npos ? value : value.substr(0, space);
  }
  // The first %NAME% only, every occurrence of it.
  const std::size_t open = result.find('%');
  if (open != std::string::npos) {
    const std::size_t close = result.find('%', open + 2);
    if (close != std::string::npos) {
      const std::string name = result.substr(open + 1, close - open - 1);
      const std::string token = "%" + name + "%";
      const std::string expansion = environment ? environment(name) : std::string();
      std::string expanded;
      std::size_t at = 0;
      for (;;) {
        const std::size_t hit = result.find(token, at);
        if (hit == std::string::npos) break;
        expanded += result.substr(at, hit - at) + expansion;
        at = hit + token.size();
      }
      result = expanded + result.substr(at);
    }
  }
  return result;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> words;
  std::string word;
  bool in_word = false, quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '\\') {
      std::size_t slashes = 0;
      while (i < line.size() && line[i] == '\\') {
        ++slashes;
        ++i;
      }
      if (i < line.size() && line[i] == '"') {
        word.append(slashes / 2, '\\');
        if (slashes % 2 == 1) {
          word += '"';
        } else {
          quoted = !quoted;
        }
      } else {
        word.append(slashes, '\\');
        --i;
      }
      in_word = true;
    } else if (c == '"') {
      quoted = !quoted;
      in_word = true;
    } else if ((c == ' ' || c == '\t') && !quoted) {
      if (in_word) words.push_back(word);
      word.clear();
      in_word = false;
    } else {
      word += c;
      in_word = true;
    }
  }
  if (in_word) words.push_back(word);
  return words;
}

std::string Host::GetServiceImagePath(const std::string& name) {
  return ImagePathProgram(ReadServiceImagePath(name),
                          [this](const std::string& variable) { return GetEnvironmentVariable(variable); });
}

ServiceHandles Host::OpenServiceHandles(const std::string& name) {
  ServiceHandles handles;
  try {
    handles.manager = OpenServiceManager("", true);
  } catch (const Exception& e) {
    throw Exception("Ошибка открытия менеджера сервисов: "_cp + LastErrorText(e.Cause()), e.Cause());
  }
  try {
    handles.service = handles.manager->OpenService(name, true);
  } catch (const Exception& e) {
    throw Exception("Ошибка открытия сервиса "_cp + name + " : " + LastErrorText(e.Cause()), e.Cause());
  }
  return handles;
}

int Host::QueryServiceState(const std::string& name) {
  ServiceHandles handles = OpenServiceHandles(name);
  return handles.service->QueryState();
}

void Host::ServiceControl(const std::string& name, bool start) {
  int state = 0;
  const int target = start ? kServiceRunning : kServiceStopped;
  const std::string failure = (start ? "Не удается запустить сервис "_cp : "Не удается остановить сервис "_cp) + name;
  // The last refusal that names its own cause: a disabled service or
  // dependents that keep it from stopping; said in the failure.
  std::optional<SysError> named_refusal;
  auto refused = [&](const EOSError& e) {
    const SysErrorKind kind = e.Cause().kind;
    if (kind == SysErrorKind::kServiceDisabled || kind == SysErrorKind::kDependentServices) {
      named_refusal = e.Cause();
    }
  };
  {
    ServiceHandles handles = OpenServiceHandles(name);
    ServiceHandle& service = *handles.service;
    state = service.QueryState();
    if (state == target) return;
    int budget = kServiceBudget;
    if (start) {
      for (;;) {
        try {
          service.StartOrFail();
          break;
        } catch (const EOSError& e) {
          // Already running, or a start (ours or another's) is pending:
          // asking again changes nothing, the wait below sees it run.
          if (e.Cause().kind == SysErrorKind::kServiceAlreadyRunning) break;
          // A disabled service starts for nobody: no use waiting.
          if (e.Cause().kind == SysErrorKind::kServiceDisabled) {
            throw Exception(failure + ": " + LastErrorText(e.Cause()), e.Cause());
          }
          refused(e);
        }
        if (budget == 0) break;
        Sleep(kServiceStepMs);
        --budget;
      }
    }
    auto send_stop = [&] {
      try {
        service.StopOrFail();
      } catch (const EOSError& e) {
        refused(e);
      }
    };
    if (!start) send_stop();
    state = service.QueryState();
    while (state != target && budget > 0) {
      // A service may ignore a stop that came while it was still starting.
      if (!start) send_stop();
      Sleep(kServiceStepMs);
      state = service.QueryState();
      --budget;
    }
  }
  if (state != target) {
    if (named_refusal) throw Exception(failure + ": " + LastErrorText(*named_refusal), *named_refusal);
    throw Exception(failure);
  }
}

void Host::ListProcessIds(const std::string& exe_name, std::vector<std::uint32_t>& ids) {
  for (const ProcessEntry& entry : ListProcesses()) {
    if (SameText(ExtractFileName(entry.exe_name), exe_name)) ids.push_back(entry.id);
  }
}

}  // namespace korvel::host
