// The Win32 backend's services: the service control manager, a service's
// state, start and stop, and its image path.
#include "host/win32_backend.h"

namespace korvel::host::win32 {

using namespace korvel::literals;

namespace {

class ServiceHandleGuard {
 public:
  explicit ServiceHandleGuard(SC_HANDLE handle) : handle_(handle) {}
  ~ServiceHandleGuard() {
    if (handle_ != nullptr) ::CloseServiceHandle(handle_);
  }
  ServiceHandleGuard(const ServiceHandleGuard&) = delete;
  ServiceHandleGuard& operator=(const ServiceHandleGuard&) = delete;
  SC_HANDLE get() const { return handle_; }

 private:
  SC_HANDLE handle_;
};

class Win32Service : public ServiceHandle {
 public:
  explicit Win32Service(SC_HANDLE handle) : handle_(handle) {}

  int QueryState() override {
    SERVICE_STATUS status{};
    if (!::QueryServiceStatus(handle_.get(), &status)) ThrowLastError();
    return static_cast<int>(status.dwCurrentState);
  }
  bool Start() override { return ::StartServiceW(handle_.get(), 0, nullptr) != 0; }
  void StartOrFail() override {
    if (!Start()) ThrowLastError();
  }
  void SendStop() override {
    SERVICE_STATUS status{};
    ::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status);
  }
  void StopOrFail() override {
    SERVICE_STATUS status{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status)) ThrowLastError();
  }

 private:
  ServiceHandleGuard handle_;
};

class Win32ServiceManager : public ServiceManagerHandle {
 public:
  explicit Win32ServiceManager(SC_HANDLE handle) : handle_(handle) {}

  std::unique_ptr<ServiceHandle> OpenService(const std::string& name, bool full_access) override {
    const SC_HANDLE service =
        ::OpenServiceW(handle_.get(), Wide(name).c_str(), full_access ? SERVICE_ALL_ACCESS : SERVICE_QUERY_STATUS);
    if (service == nullptr) ThrowLastError();
    return std::make_unique<Win32Service>(service);
  }

 private:
  ServiceHandleGuard handle_;
};

}  // namespace

std::string Win32Host::ReadServiceImagePath(const std::string& name) {
  HKEY key = nullptr;
  const std::wstring path = L"SYSTEM\\CurrentControlSet\\Services\\" + Wide(name);
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return {};
  std::wstring value;
  DWORD type = 0, size = 0;
  if (::RegQueryValueExW(key, L"ImagePath", nullptr, &type, nullptr, &size) == ERROR_SUCCESS &&
      (type == REG_SZ || type == REG_EXPAND_SZ) && size > 0) {
    value.assign(size / sizeof(wchar_t) + 1, L'\0');
    if (::RegQueryValueExW(key, L"ImagePath", nullptr, &type, reinterpret_cast<BYTE*>(value.data()), &size) !=
        ERROR_SUCCESS) {
      value.clear();
    }
    value.resize(std::wcslen(value.c_str()));
  }
  ::RegCloseKey(key);
  return Trim(Narrow(value));
}

std::unique_ptr<ServiceManagerHandle> Win32Host::OpenServiceManager(const std::string& machine, bool full_access) {
  const std::wstring wide = Wide(machine);
  const SC_HANDLE manager = ::OpenSCManagerW(machine.empty() ? nullptr : wide.c_str(), nullptr,
                                             full_access ? SC_MANAGER_ALL_ACCESS : SC_MANAGER_CONNECT);
  if (manager == nullptr) ThrowLastError();
  return std::make_unique<Win32ServiceManager>(manager);
}

std::string Win32Host::ServiceCommandLine(const std::string& name, bool start) {
  return std::string(start ? "net start " : "net stop ") + name;
}

}  // namespace korvel::host::win32
