// ole32: apartments and in-process activation. A thread enters COM with
// CoInitializeEx (one concurrency model per thread) and leaves it with a
// matching CoUninitialize. CoCreateInstance finds the class's server under
// HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32, loads it once per process,
// asks its DllGetClassObject for the class factory and creates the object.
// The servers stay loaded until the last apartment of the process ends (or
// CoFreeUnusedLibraries finds them unused). Objects are used directly from
// every thread: winsim has no proxies between apartments.
#include <objbase.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "winsim/kernel/debug_log.h"
#include "winsim/sched/scheduler.h"
#include "winsim/user/ole32_com.h"

namespace {

typedef HRESULT(STDAPICALLTYPE *GetClassObjectFn)(REFCLSID, REFIID, LPVOID *);
typedef HRESULT(STDAPICALLTYPE *CanUnloadNowFn)(void);

struct Apartment {
  DWORD model;
  int inits;
};

struct Server {
  std::string path;
  HMODULE module;
};

struct ComState {
  std::mutex lock;
  std::map<winsim::SimThread *, Apartment> apartments;
  std::vector<Server> servers;
};

ComState &Com() {
  static ComState state;
  return state;
}

winsim::SimThread *CallingThread() { return winsim::Scheduler::Current(); }

bool ThreadInitialized() {
  std::lock_guard<std::mutex> guard(Com().lock);
  return Com().apartments.count(CallingThread()) != 0;
}

// The InprocServer32 default value of the class; empty when not registered.
std::string ServerPath(REFCLSID rclsid) {
  WCHAR wide[40] = {};
  const int length = StringFromGUID2(rclsid, wide, 40);
  char text[40] = {};
  for (int i = 0; i < length; ++i) text[i] = static_cast<char>(wide[i]);
  std::string path = std::string("CLSID\\") + text + "\\InprocServer32";
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return std::string();
  char value[MAX_PATH + 1] = {};
  DWORD bytes = MAX_PATH;  // one byte stays zero: the value may lack its terminator
  DWORD type = 0;
  LSTATUS status = RegQueryValueExA(key, nullptr, nullptr, &type, reinterpret_cast<BYTE *>(value), &bytes);
  RegCloseKey(key);
  if (status != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ)) return std::string();
  return value;
}

// The server module, loaded on first use and kept for the process.
HRESULT LoadServer(const std::string &path, HMODULE *module) {
  {
    std::lock_guard<std::mutex> guard(Com().lock);
    for (const Server &server : Com().servers) {
      if (server.path == path) {
        *module = server.module;
        return S_OK;
      }
    }
  }
  HMODULE loaded = LoadLibraryA(path.c_str());
  if (loaded == nullptr) return HRESULT_FROM_WIN32(GetLastError());
  std::lock_guard<std::mutex> guard(Com().lock);
  Com().servers.push_back(Server{path, loaded});
  *module = loaded;
  return S_OK;
}

// Unloads the servers whose DllCanUnloadNow agrees, or all of them.
void FreeServers(bool all) {
  std::vector<Server> servers;
  {
    std::lock_guard<std::mutex> guard(Com().lock);
    servers.swap(Com().servers);
  }
  std::vector<Server> kept;
  for (const Server &server : servers) {
    auto canUnload = reinterpret_cast<CanUnloadNowFn>(reinterpret_cast<void *>(
        GetProcAddress(server.module, "DllCanUnloadNow")));
    bool unused = canUnload == nullptr || canUnload() == S_OK;
    if (!unused && !all) {
      kept.push_back(server);
      continue;
    }
    if (!unused) {
      winsim::DebugLog::Append("ole32", "CoUninitialize unloads " + server.path + " while it has live objects");
    }
    FreeLibrary(server.module);
  }
  std::lock_guard<std::mutex> guard(Com().lock);
  Com().servers.insert(Com().servers.end(), kept.begin(), kept.end());
}

}  // namespace

HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit) {
  if (pvReserved != nullptr) return E_INVALIDARG;
  DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
  std::lock_guard<std::mutex> guard(Com().lock);
  auto it = Com().apartments.find(CallingThread());
  if (it == Com().apartments.end()) {
    Com().apartments[CallingThread()] = Apartment{model, 1};
    return S_OK;
  }
  if (it->second.model != model) return RPC_E_CHANGED_MODE;
  ++it->second.inits;
  return S_FALSE;
}

HRESULT CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

void CoUninitialize(void) {
  bool lastApartment = false;
  {
    std::lock_guard<std::mutex> guard(Com().lock);
    auto it = Com().apartments.find(CallingThread());
    if (it == Com().apartments.end()) {
      winsim::DebugLog::Append("ole32", "CoUninitialize on a thread that did not initialize COM");
      return;
    }
    if (--it->second.inits > 0) return;
    Com().apartments.erase(it);
    lastApartment = Com().apartments.empty();
  }
  if (lastApartment) FreeServers(true);
}

HRESULT CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID pvReserved, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_INVALIDARG;
  *ppv = nullptr;
  if (pvReserved != nullptr) return E_INVALIDARG;
  if (!ThreadInitialized()) return CO_E_NOTINITIALIZED;
  if ((dwClsContext & CLSCTX_INPROC_SERVER) == 0) return REGDB_E_CLASSNOTREG;
  std::string path = ServerPath(rclsid);
  if (path.empty()) return REGDB_E_CLASSNOTREG;
  HMODULE module = nullptr;
  HRESULT hr = LoadServer(path, &module);
  if (FAILED(hr)) return hr;
  auto getClassObject = reinterpret_cast<GetClassObjectFn>(reinterpret_cast<void *>(
      GetProcAddress(module, "DllGetClassObject")));
  if (getClassObject == nullptr) return CO_E_ERRORINDLL;
  return getClassObject(rclsid, riid, ppv);
}

HRESULT CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid, LPVOID *ppv) {
  if (ppv == nullptr) return E_POINTER;
  *ppv = nullptr;
  // An aggregated object can only be handed out as its inner unknown.
  if (pUnkOuter != nullptr && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  IClassFactory *factory = nullptr;
  HRESULT hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, reinterpret_cast<LPVOID *>(&factory));
  if (FAILED(hr)) return hr;
  hr = factory->CreateInstance(pUnkOuter, riid, ppv);
  factory->Release();
  if (SUCCEEDED(hr) && *ppv == nullptr) {
    winsim::DebugLog::Append("ole32", "a class factory reported success without an object");
    return E_UNEXPECTED;
  }
  return hr;
}

void CoFreeUnusedLibraries(void) { FreeServers(false); }

namespace winsim {

int InitializedComThreads() {
  std::lock_guard<std::mutex> guard(Com().lock);
  return static_cast<int>(Com().apartments.size());
}

void ResetCom() {
  std::lock_guard<std::mutex> guard(Com().lock);
  Com().apartments.clear();
  Com().servers.clear();
}

}  // namespace winsim
