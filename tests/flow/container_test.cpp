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
using Paths = std::vector<std::wstring>;

constexpr std::uint32_t kHostPid = 700;
constexpr wchar_t kGroupsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";

// Registry values by "root|key|value" text.
class FakeRegistry : public IRegistryReader {
 public:
  void Set(RegistryRoot root, std::wstring_view key, std::wstring_view value, std::uint32_t type,
           Paths strings) {
    values_[Key(root, key, value)] = RegistryValue{type, std::move(strings)};
  }
  OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view sub_key,
                          std::wstring_view value_name, RegistryView view, std::uint32_t,
                          RegistryValue& value) override {
    views_read.push_back(view);
    const auto it = values_.find(Key(root, sub_key, value_name));
    if (it == values_.end()) {
      return kObNotFound;
    }
    value = it->second;
    return kObSuccess;
  }
  OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text, std::uint32_t,
                                         std::wstring& expanded) override {
    expanded = std::wstring(text);
    if (expanded.starts_with(L"%SystemRoot%")) {
      expanded.replace(0, 12, L"C:\\Windows");
    }
    return kObSuccess;
  }

  std::vector<RegistryView> views_read;

 private:
  static std::wstring Key(RegistryRoot root, std::wstring_view key, std::wstring_view value) {
    return (root == RegistryRoot::kLocalMachine ? L"HKLM|" : L"HKCR|") + std::wstring(key) + L"|" +
           std::wstring(value);
  }
  std::map<std::wstring, RegistryValue> values_;
};

class ContainerTest : public ::testing::Test {
 protected:
  // Runs container against the fake host process.
  OB_STATUSCODE Modules(IContainer& container, Paths& paths) {
    queries_.processes[kHostPid] = host_;
    CProcessInfoSurrogateable process(kHostPid, queries_);
    return container.GetModulePathList(process, paths);
  }

  void AddService(const std::wstring& name, std::uint32_t type, const std::wstring& dll) {
    registry_.Set(RegistryRoot::kLocalMachine,
                  L"SYSTEM\\CurrentControlSet\\services\\" + name + L"\\Parameters", L"ServiceDll",
                  type, {dll});
  }

  orv::test::FakeProcess host_;
  orv::test::FakeProcessQueries queries_;
  FakeRegistry registry_;
};

TEST_F(ContainerTest, ServiceHostIntersectsTheGroupWithLoadedModules) {
  host_.image = "/win/system32/svchost.exe";
  host_.argv = {"svchost.exe", "-k", "netsvcs", "-p"};
  Paths services;
  for (int index = 0; index < 30; ++index) {
    services.push_back(L"svc" + std::to_wstring(index));
    const std::wstring dll = L"C:\\Windows\\System32\\Svc" + std::to_wstring(index) + L".dll";
    AddService(services.back(), kRegistryString, dll);
    if (index == 4 || index == 17) {
      host_.mapped.push_back(OBRuntime::WideToUtf8(dll));
    }
  }
  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"netsvcs", kRegistryMultiString,
                services);
  CSvcHostContainer container(registry_, L"/win", true);
  Paths paths;
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths,
            (Paths{L"c:\\windows\\system32\\svc17.dll", L"c:\\windows\\system32\\svc4.dll"}));
  EXPECT_EQ(registry_.views_read.front(), RegistryView::k64Bit);
  host_.mapped.clear();  // nothing loaded: the first 20 candidates in registry order
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  ASSERT_EQ(paths.size(), 20u);
  EXPECT_EQ(paths.back(), L"c:\\windows\\system32\\svc19.dll");

  Paths hosts;
  ASSERT_EQ(container.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts, (Paths{L"/win/system32/svchost.exe", L"/win/syswow64/svchost.exe"}));
  ASSERT_EQ(CSvcHostContainer(registry_, L"/win", false).GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts.size(), 1u);
}

TEST_F(ContainerTest, ServiceHostStatuses) {
  CSvcHostContainer container(registry_, L"/win", true);
  Paths paths;
  host_.argv = {"svchost.exe", "-k"};
  EXPECT_EQ(Modules(container, paths), kObFailure);
  host_.argv = {"svchost.exe", "-k", "one"};
  LogCapture log;
  EXPECT_EQ(Modules(container, paths), kObFailure);  // no group in the registry
  EXPECT_TRUE(log.Has(LOG_ERROR, "CSvcHostContainer::GetModulePathList",
                      "Failed to fetch the service groups for svchost."));

  // A single-string group names one service; run from syswow64, the default view is read.
  host_.image = "/win/SysWOW64/svchost.exe";
  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"one", kRegistryString,
                {L"exp", L"ignored"});
  AddService(L"exp", kRegistryExpandString, L"%SystemRoot%\\System32\\Exp.dll");
  registry_.views_read.clear();
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, Paths{L"c:\\windows\\system32\\exp.dll"});
  EXPECT_EQ(registry_.views_read.front(), RegistryView::kDefault);

  // Services without a usable DLL value make the answer partial.
  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"one", kRegistryMultiString,
                {L"exp", L"missing", L"dword"});
  AddService(L"dword", kRegistryDword, L"");
  EXPECT_EQ(Modules(container, paths), kObPartialFailure);
  EXPECT_EQ(paths, Paths{L"c:\\windows\\system32\\exp.dll"});
}

TEST_F(ContainerTest, DllRunnerTakesAFullPathOrFindsTheLoadedModule) {
  CRunDll32Container container(L"/win", false);
  host_.mapped = {"c:\\windows\\system32\\kernel32.dll", "C:\\Windows\\System32\\shell32.dll"};
  const std::map<std::vector<std::string>, Paths> cases = {
      {{"rundll32.exe", "C:\\Tools\\Thing.dll,Entry", "arg"}, {L"C:\\Tools\\Thing.dll"}},
      {{"rundll32.exe", "'sub\\Shell32.DLL',Control_RunDLL"},
       {L"c:\\windows\\system32\\shell32.dll"}},
      {{"rundll32.exe", "absent.dll,Entry"}, {}},
      {{"rundll32.exe", "shell32.dll"}, {}},
      {{}, {}},
  };
  for (const auto& [argv, expected] : cases) {
    host_.argv = argv;
    Paths paths;
    EXPECT_EQ(Modules(container, paths), expected.empty() ? kObFailure : kObSuccess);
    EXPECT_EQ(paths, expected);
  }
}

TEST_F(ContainerTest, ComSurrogateReadsTheClassServer) {
  CDllHostContainer container(registry_, L"/win", true);
  Paths paths;
  host_.argv = {"dllhost.exe", "/Processid:"};
  EXPECT_EQ(Modules(container, paths), kObFailure);
  host_.argv = {"dllhost.exe", "/Processid:{AB-12}"};
  LogCapture log;
  EXPECT_EQ(Modules(container, paths), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CDllHostContainer::GetModulePathList",
                      "Failed to fetch the dll for dllhost."));
  const std::wstring key = L"CLSID\\{AB-12}\\InprocServer32";
  registry_.Set(RegistryRoot::kClassesRoot, key, L"", kRegistryExpandString,
                {L"%SystemRoot%\\s.dll"});
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, Paths{L"C:\\Windows\\s.dll"});
  registry_.Set(RegistryRoot::kClassesRoot, key, L"", kRegistryDword, {});
  EXPECT_EQ(Modules(container, paths), kObFailure);
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
      {L"awk", {L"awk", L"prog"}, L""},
  };
  for (const auto& [interpreter, argv, script] : cases) {
    EXPECT_EQ(CInterpreterContainer::FindScript(interpreter, argv), script)
        << OBRuntime::WideToUtf8(interpreter + L" " + argv.back());
  }
  EXPECT_EQ(StripTrailingVersion(L"perl5.36.0"), L"perl");
  EXPECT_EQ(StripTrailingVersion(L"3.11"), L"3.11");
}

TEST_F(ContainerTest, InterpreterResolvesAgainstTheWorkingDirectory) {
  CInterpreterContainer container;
  Paths paths;
  host_.image = "/usr/bin/python3.11";
  host_.argv = {"python3", "-u", "../app/./main.py"};
  host_.cwd = "/srv/work";
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, Paths{L"/srv/app/main.py"});
  host_.argv = {"python3", "-c", "pass"};
  EXPECT_EQ(Modules(container, paths), kObNotFound);
  host_.argv = {};
  EXPECT_EQ(Modules(container, paths), kObFailure);
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

TEST(ContainerManagerTest, RegistrationAndLookupRules) {
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CJavaContainer>());
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  auto first = std::make_unique<FixedContainer>(Paths{L"/Opt/Host/Runner", L"tool"}, kObSuccess);
  IContainer* first_raw = first.get();
  manager.RegisterContainer(std::move(first));
  LogCapture log;
  auto second = std::make_unique<FixedContainer>(Paths{L"TOOL"}, kObSuccess);
  IContainer* second_raw = second.get();
  manager.RegisterContainer(std::move(second));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CContainerManager::RegisterContainer",
                      "tool container already exists. Overwriting the old entry"));

  const std::map<std::wstring, IContainer*> found = {{L"/opt/host/RUNNER", first_raw},
                                                     {L"/anywhere/Tool", second_raw},
                                                     {L"/other/runner", nullptr}};
  for (const auto& [path, expected] : found) {
    IContainer* container = nullptr;
    EXPECT_EQ(manager.GetContainer(path, container), expected ? kObSuccess : kObNotFound);
    EXPECT_EQ(container, expected);
  }
  for (const wchar_t* path : {L"/mnt/c/Program Files/Java/bin/JavaW.exe", L"/usr/bin/python3.11",
                              L"/usr/bin/perl5.36.0", L"/usr/bin/dash"}) {
    EXPECT_TRUE(manager.IsContainer(path)) << OBRuntime::WideToUtf8(path);
  }
  EXPECT_FALSE(manager.IsContainer(L"/usr/bin/sleep"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/java"));
  EXPECT_TRUE(manager.NeedsCommandLine(L"/usr/bin/bash"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/sleep"));

  CContainerManager& production = CContainerManager::GetInstance();
  EXPECT_TRUE(production.IsContainer(L"/usr/bin/java"));
  EXPECT_TRUE(production.IsContainer(L"/usr/bin/ruby3.1"));
  EXPECT_FALSE(production.IsContainer(L"/etc/system32/svchost.exe"));
}

TEST(ContainerManagerTest, ResolutionHonoursStatusesAndExclusions) {
  orv::test::TempDir dir;
  const std::string module = (dir.path() / "Mod.dll").string();
  std::ofstream(module) << "abc";
  const Paths modules = {OBRuntime::Utf8ToWide(module),
                         OBRuntime::Utf8ToWide((dir.path() / "gone.dll").string())};
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  for (const auto& [name, status] :
       {std::pair{L"ok", kObSuccess}, std::pair{L"partial", kObPartialFailure},
        std::pair{L"bad", kObFailure}}) {
    manager.RegisterContainer(std::make_unique<FixedContainer>(Paths{name}, status, modules));
  }
  orv::test::FakeProcessQueries queries;
  CProcessInfoSurrogateable process(kHostPid, queries);

  HostedModules result;
  ASSERT_EQ(manager.ResolveHostedModules(L"/x/ok", process, {}, result), kObSuccess);
  EXPECT_EQ(result.names, (Paths{L"Mod.dll", L"gone.dll"}));
  EXPECT_EQ(result.hashes,
            (std::vector<std::string>{orv::test::kAbcDigest, std::string(32, '\0')}));
  HostedModules partial;
  const FieldExclusion no_names = [](std::uint32_t field) { return field == 12352; };
  ASSERT_EQ(manager.ResolveHostedModules(L"partial", process, no_names, partial),
            kObPartialFailure);
  EXPECT_TRUE(partial.names.empty());
  EXPECT_EQ(partial.hashes.size(), 2u);
  HostedModules no_hashes;
  const FieldExclusion hashes_excluded = [](std::uint32_t field) { return field == 12353; };
  ASSERT_EQ(manager.ResolveHostedModules(L"ok", process, hashes_excluded, no_hashes), kObSuccess);
  EXPECT_EQ(std::tuple(no_hashes.names.size(), no_hashes.hashes.size()), std::tuple(2u, 0u));
  HostedModules failed;
  EXPECT_EQ(manager.ResolveHostedModules(L"bad", process, {}, failed), kObFailure);
  EXPECT_TRUE(failed.names.empty() && failed.hashes.empty());
  EXPECT_EQ(manager.ResolveHostedModules(L"/usr/bin/sleep", process, {}, failed), kObNotFound);
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
