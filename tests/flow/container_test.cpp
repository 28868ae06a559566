#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "flow/container_manager.h"
#include "flow/host_containers.h"
#include "flow/interpreter_container.h"
#include "flow_fakes.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::test::LogCapture;
using orv::test::Strings;
using Paths = std::vector<std::wstring>;
using enum RegistryRoot;
using enum RegistryView;

constexpr std::uint32_t kHostPid = 700;

// Registry values by root, key, value name and view.
class FakeRegistry : public IRegistryReader {
 public:
  void Set(RegistryRoot root, const std::wstring& key, const std::wstring& name, std::uint32_t type,
           Paths strings, RegistryView view = k64Bit) {
    values_[{root, key + L"|" + name, view}] = RegistryValue{type, std::move(strings)};
  }
  OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view key, std::wstring_view name,
                          RegistryView view, std::uint32_t, RegistryValue& value) override {
    const auto it = values_.find({root, std::wstring(key) + L"|" + std::wstring(name), view});
    value = it == values_.end() ? RegistryValue{} : it->second;
    return it == values_.end() ? kObNotFound : kObSuccess;
  }
  OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text, std::uint32_t,
                                         std::wstring& expanded) override {
    expanded = std::wstring(text);
    if (expanded.starts_with(L"%SystemRoot%")) expanded.replace(0, 12, L"C:\\Windows");
    return kObSuccess;
  }

 private:
  std::map<std::tuple<RegistryRoot, std::wstring, RegistryView>, RegistryValue> values_;
};

// Each container kind against one fake host process and one registry: the modules it names for
// an image and command line, or its failure.
TEST(ContainerTest, EachKindFindsTheModulesItsHostRuns) {
  FakeRegistry registry;
  const std::wstring groups = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";
  const auto service = [&](const std::wstring& name, std::uint32_t type, const std::wstring& dll,
                           RegistryView view = k64Bit) {
    registry.Set(kLocalMachine, L"SYSTEM\\CurrentControlSet\\services\\" + name + L"\\Parameters",
                 L"ServiceDll", type, {dll}, view);
  };
  // Of the 25 services of netsvcs two are loaded; of idle none, so the first 20 are named.
  Paths netsvcs, idle, first_idle;
  for (int index = 0; index < 25; ++index) {
    const std::wstring n = std::to_wstring(index);
    netsvcs.push_back(L"svc" + n);
    service(netsvcs.back(), kRegistryString, L"C:\\Windows\\System32\\Svc" + n + L".dll");
    idle.push_back(L"idle" + n);
    service(idle.back(), kRegistryString, L"c:\\idle" + n + L".dll");
    if (index < 20) first_idle.push_back(L"c:\\idle" + n + L".dll");
  }
  registry.Set(kLocalMachine, groups, L"netsvcs", kRegistryMultiString, netsvcs);
  registry.Set(kLocalMachine, groups, L"idle", kRegistryMultiString, idle);
  // A single-string group names one service; it is in the default view only, read for hosts run
  // from syswow64 or on a 32-bit system. Services without a usable DLL make the answer partial.
  registry.Set(kLocalMachine, groups, L"one", kRegistryString, {L"exp", L"ignored"}, kDefault);
  service(L"exp", kRegistryExpandString, L"%SystemRoot%\\System32\\Exp.dll", kDefault);
  registry.Set(kLocalMachine, groups, L"partial", kRegistryMultiString, {L"svc3", L"no", L"dw"});
  service(L"dw", kRegistryDword, L"");
  const std::wstring clsid = L"CLSID\\{AB-12}\\InprocServer32";
  registry.Set(kClassesRoot, clsid, L"", kRegistryExpandString, {L"%SystemRoot%\\s.dll"});
  registry.Set(kClassesRoot, L"CLSID\\{CD}\\InprocServer32", L"", kRegistryDword, {});

  CSvcHostContainer svchost(registry, L"/win", true);
  CSvcHostContainer svchost32(registry, L"/win", false);
  CRunDll32Container rundll(L"/win", false);
  CDllHostContainer dllhost(registry, L"/win", true);
  CInterpreterContainer interpreter;
  const std::string native = "/win/system32/svchost.exe";
  const std::string python = "/usr/bin/python3.11";
  const std::wstring system32 = L"c:\\windows\\system32\\";
  // Container, image, arguments, status, modules.
  const std::vector<std::tuple<IContainer*, std::string, Strings, OB_STATUSCODE, Paths>> cases = {
      {&svchost,
       native,
       {"svchost.exe", "-k", "netsvcs", "-p"},
       kObSuccess,
       {system32 + L"svc17.dll", system32 + L"svc4.dll"}},
      {&svchost, native, {"svchost.exe", "-k", "idle"}, kObSuccess, first_idle},
      {&svchost,
       "/win/SysWOW64/svchost.exe",
       {"svchost", "-k", "one"},
       kObSuccess,
       {system32 + L"exp.dll"}},
      {&svchost32, native, {"svchost.exe", "-k", "one"}, kObSuccess, {system32 + L"exp.dll"}},
      {&svchost, native, {"svchost.exe", "-k", "one"}, kObFailure, {}},
      {&svchost,
       native,
       {"svchost.exe", "-k", "partial"},
       kObPartialFailure,
       {system32 + L"svc3.dll"}},
      {&svchost, native, {"svchost.exe", "-k"}, kObFailure, {}},
      {&rundll,
       "",
       {"rundll32.exe", "C:\\Tools\\Thing.dll,Entry", "arg"},
       kObSuccess,
       {L"C:\\Tools\\Thing.dll"}},
      {&rundll,
       "",
       {"rundll32.exe", "'sub\\Shell32.DLL',Control_RunDLL"},
       kObSuccess,
       {system32 + L"shell32.dll"}},
      {&rundll, "", {"rundll32.exe", "absent.dll,Entry"}, kObFailure, {}},
      {&rundll, "", {"rundll32.exe", "shell32.dll"}, kObFailure, {}},
      {&rundll, "", {}, kObFailure, {}},
      {&dllhost, "", {"dllhost.exe", "/Processid:{AB-12}"}, kObSuccess, {L"C:\\Windows\\s.dll"}},
      {&dllhost, "", {"dllhost.exe", "/Processid:{CD}"}, kObFailure, {}},
      {&dllhost, "", {"dllhost.exe", "/Processid:{EF}"}, kObFailure, {}},
      {&dllhost, "", {"dllhost.exe", "/Processid:"}, kObFailure, {}},
      {&interpreter,
       python,
       {"python3", "-u", "../app/./main.py"},
       kObSuccess,
       {L"/srv/app/main.py"}},
      {&interpreter, python, {"python3", "-c", "pass"}, kObNotFound, {}},
      {&interpreter, python, {}, kObFailure, {}}};
  orv::test::FakeProcessQueries queries;
  orv::test::FakeProcess& host = queries.processes[kHostPid];
  host.mapped = {"c:\\windows\\system32\\svc4.dll", "C:\\Windows\\System32\\Svc17.dll",
                 "c:\\windows\\system32\\kernel32.dll", "C:\\Windows\\System32\\shell32.dll"};
  host.cwd = "/srv/work";
  LogCapture log;
  for (const auto& [container, image, argv, status, modules] : cases) {
    host.image = image;
    host.argv = argv;
    CProcessInfoSurrogateable process(kHostPid, queries);
    Paths paths;
    EXPECT_EQ(container->GetModulePathList(process, paths), status) << argv.size();
    EXPECT_EQ(paths, modules) << (argv.empty() ? "" : argv.back());
  }
  EXPECT_TRUE(log.Has(LOG_ERROR, "CSvcHostContainer::GetModulePathList",
                      "Failed to fetch the service groups for svchost."));
  EXPECT_TRUE(log.Has(LOG_ERROR, "CDllHostContainer::GetModulePathList",
                      "Failed to fetch the dll for dllhost."));
  Paths hosts;
  ASSERT_EQ(svchost.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts, (Paths{L"/win/system32/svchost.exe", L"/win/syswow64/svchost.exe"}));
  ASSERT_EQ(svchost32.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts.size(), 1u);
}

TEST(InterpreterContainerTest, FindsTheScriptArgument) {
  // Interpreter, arguments, the script found.
  const std::vector<std::tuple<std::wstring, Paths, std::wstring>> cases = {
      {L"python", {L"python3", L"-u", L"-W", L"ignore", L"/srv/app.py", L"-c"}, L"/srv/app.py"},
      {L"python", {L"python3", L"-Wignore", L"app.py"}, L"app.py"},
      {L"python", {L"python3", L"-Bc", L"print(1)"}, L""},
      {L"python", {L"python3", L"-"}, L""},
      {L"python", {L"python3"}, L""},
      {L"perl", {L"perl", L"-Ilib", L"-w", L"tool.pl"}, L"tool.pl"},
      {L"node", {L"node", L"--require", L"x", L"--inspect=9229", L"server.js"}, L"server.js"},
      {L"node", {L"node", L"--eval=1"}, L""},
      {L"bash", {L"bash", L"-o", L"errexit", L"+O", L"extglob", L"run.sh"}, L"run.sh"},
      {L"dash", {L"sh", L"--", L"-odd-name.sh"}, L"-odd-name.sh"},
      {L"awk", {L"awk", L"prog"}, L""}};
  for (const auto& [interpreter, argv, script] : cases) {
    EXPECT_EQ(CInterpreterContainer::FindScript(interpreter, argv), script)
        << OBRuntime::WideToUtf8(interpreter + L" " + argv.back());
  }
  EXPECT_EQ(StripTrailingVersion(L"perl5.36.0"), L"perl");
  EXPECT_EQ(StripTrailingVersion(L"3.11"), L"3.11");
}

// A container with a fixed answer, for the manager's rules.
class FixedContainer : public IContainer {
 public:
  FixedContainer(Paths hosts, OB_STATUSCODE status, Paths modules = {})
      : hosts_(std::move(hosts)), status_(status), modules_(std::move(modules)) {}
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable&, Paths& paths) override {
    paths = modules_;
    return status_;
  }
  OB_STATUSCODE GetContainerPaths(Paths& paths) override {
    paths = hosts_;
    return kObSuccess;
  }
  bool NeedsCommandLine() const override { return true; }

 private:
  Paths hosts_;
  OB_STATUSCODE status_;
  Paths modules_;
};

// Hosts are found by full path, file name or name without version, ignoring case; the modules
// are named and hashed unless excluded, and only a successful or partial answer gives any.
TEST(ContainerManagerTest, FindsHostsAndResolvesTheirModules) {
  orv::test::TempDir dir;
  const std::string module = (dir.path() / "Mod.dll").string();
  std::ofstream(module) << "abc";
  const Paths modules = {OBRuntime::Utf8ToWide(module),
                         OBRuntime::Utf8ToWide((dir.path() / "gone.dll").string())};
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CJavaContainer>());
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(Paths{L"/Opt/Host/Runner", L"ok"}, kObSuccess, modules));
  LogCapture log;
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(Paths{L"OK", L"partial"}, kObPartialFailure, modules));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CContainerManager::RegisterContainer",
                      "ok container already exists. Overwriting the old entry"));
  manager.RegisterContainer(std::make_unique<FixedContainer>(Paths{L"bad"}, kObFailure));
  for (const wchar_t* path : {L"/mnt/c/Program Files/Java/bin/JavaW.exe", L"/usr/bin/python3.11",
                              L"/usr/bin/perl5.36.0", L"/usr/bin/dash", L"/opt/host/RUNNER"}) {
    EXPECT_TRUE(manager.IsContainer(path)) << OBRuntime::WideToUtf8(path);
  }
  EXPECT_FALSE(manager.IsContainer(L"/other/runner"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/java"));
  EXPECT_TRUE(manager.NeedsCommandLine(L"/usr/bin/bash"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/sleep"));
  EXPECT_TRUE(CContainerManager::GetInstance().IsContainer(L"/usr/bin/ruby3.1"));

  orv::test::FakeProcessQueries queries;
  CProcessInfoSurrogateable process(kHostPid, queries);
  const std::vector<std::string> hashes = {orv::test::kAbcDigest, std::string(32, '\0')};
  const Paths names = {L"Mod.dll", L"gone.dll"};
  // Image, excluded field, status, names, hashes. "/x/ok" is found by its file name, and "ok"
  // names the partial container since it was registered again.
  const std::vector<std::tuple<std::wstring, std::uint32_t, OB_STATUSCODE, Paths, Strings>> cases =
      {{L"/opt/host/runner", 0, kObSuccess, names, hashes},
       {L"/x/ok", kFieldHostedModules, kObPartialFailure, {}, hashes},
       {L"runner", kFieldHostedModuleHashes, kObNotFound, {}, {}},
       {L"/opt/host/runner", kFieldHostedModuleHashes, kObSuccess, names, {}},
       {L"bad", 0, kObFailure, {}, {}}};
  for (const auto& [image, excluded, status, expected_names, expected_hashes] : cases) {
    HostedModules result;
    const FieldExclusion exclusion = [&](std::uint32_t field) { return field == excluded; };
    EXPECT_EQ(manager.ResolveHostedModules(image, process, exclusion, result), status);
    EXPECT_EQ(std::tie(result.names, result.hashes), std::tie(expected_names, expected_hashes));
  }
}

// Real processes: a shell running a script while holding a .jar open.
TEST(ContainerRealProcessTest, JavaAndInterpreterContainersFindTheirModules) {
  orv::test::TempDir dir;
  const std::string cwd = std::filesystem::canonical(dir.path()).string();
  const int fd = ::open((cwd + "/x.jar").c_str(), O_CREAT | O_RDWR, 0600);  // inherited
  ASSERT_GE(fd, 0);
  // A command after the sleep keeps the shell from replacing itself with it.
  std::ofstream(cwd + "/script.sh") << "sleep 100\nexit 0\n";
  orv::test::ChildProcess child("/bin/sh", {"sh", "script.sh"},
                                [&cwd] { (void)::chdir(cwd.c_str()); });
  ::close(fd);
  ASSERT_TRUE(child.WaitForExec());
  CProcessInfoSurrogateable process(static_cast<std::uint32_t>(child.pid()));
  Paths jars;
  ASSERT_EQ(CJavaContainer().GetModulePathList(process, jars), kObSuccess);
  EXPECT_EQ(jars, Paths{OBRuntime::Utf8ToWide(cwd + "/x.jar")});
  std::wstring image;
  ASSERT_EQ(process.GetProcessImagePath(process.GetProcessId(), image), kObSuccess);
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  HostedModules modules;
  ASSERT_EQ(manager.ResolveHostedModules(image, process, {}, modules), kObSuccess)
      << OBRuntime::WideToUtf8(image);
  EXPECT_EQ(modules.names, Paths{L"script.sh"});
  ASSERT_EQ(modules.hashes.size(), 1u);
  EXPECT_EQ(OBRuntime::Utils::EncodeToHex(
                std::span(reinterpret_cast<const std::uint8_t*>(modules.hashes[0].data()), 32)),
            OBRuntime::CSha256HashManagerImpl::GetHashSHA256("sleep 100\nexit 0\n", 17));
}

}  // namespace
