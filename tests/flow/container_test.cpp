#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "flow/container_manager.h"
#include "flow/host_containers.h"
#include "flow/interpreter_container.h"
#include "process_fakes.h"
#include "runtime/sha256_hash_manager.h"
#include "runtime/text.h"
#include "runtime/utils.h"
#include "support/child_process.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

using orv::test::FakeProcessQueries;
using orv::test::LogCapture;

constexpr std::uint32_t kHostPid = 700;

// Registry values by "root|key|value|view" text.
class FakeRegistry : public IRegistryReader {
 public:
  std::map<std::wstring, RegistryValue> values;
  std::vector<RegistryView> views_read;

  static std::wstring Key(RegistryRoot root, std::wstring_view key, std::wstring_view value) {
    return (root == RegistryRoot::kLocalMachine ? L"HKLM|" : L"HKCR|") + std::wstring(key) + L"|" +
           std::wstring(value);
  }
  void Set(RegistryRoot root, std::wstring_view key, std::wstring_view value, std::uint32_t type,
           std::vector<std::wstring> strings) {
    values[Key(root, key, value)] = RegistryValue{type, std::move(strings)};
  }

  OB_STATUSCODE ReadValue(RegistryRoot root, std::wstring_view sub_key,
                          std::wstring_view value_name, RegistryView view, std::uint32_t,
                          RegistryValue& value) override {
    views_read.push_back(view);
    const auto it = values.find(Key(root, sub_key, value_name));
    if (it == values.end()) {
      return kObNotFound;
    }
    value = it->second;
    return kObSuccess;
  }
  OB_STATUSCODE ExpandEnvironmentStrings(std::wstring_view text, std::uint32_t,
                                         std::wstring& expanded) override {
    expanded = std::wstring(text);
    const std::wstring root = L"%SystemRoot%";
    if (const auto at = expanded.find(root); at != std::wstring::npos) {
      expanded.replace(at, root.size(), L"C:\\Windows");
    }
    return kObSuccess;
  }
};

constexpr wchar_t kGroupsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Svchost\\";

class ContainerTest : public ::testing::Test {
 protected:
  ContainerTest() {
    host_.image = "/win/system32/svchost.exe";
    host_.argv = {"svchost.exe", "-k", "netsvcs", "-p"};
  }

  // Runs container against the fake host process.
  OB_STATUSCODE Modules(IContainer& container, std::vector<std::wstring>& paths) {
    queries_.processes[kHostPid] = host_;
    CProcessInfoSurrogateable process(kHostPid, queries_);
    return container.GetModulePathList(process, paths);
  }

  void AddService(int index, bool loaded) {
    const std::wstring name = L"svc" + std::to_wstring(index);
    const std::wstring dll = L"C:\\Windows\\System32\\Svc" + std::to_wstring(index) + L".dll";
    services_.push_back(name);
    registry_.Set(RegistryRoot::kLocalMachine,
                  L"SYSTEM\\CurrentControlSet\\services\\" + name + L"\\Parameters", L"ServiceDll",
                  kRegistryString, {dll});
    if (loaded) {
      host_.mapped.push_back(OBRuntime::WideToUtf8(dll));
    }
  }

  orv::test::FakeProcess host_;
  FakeProcessQueries queries_;
  FakeRegistry registry_;
  std::vector<std::wstring> services_;
};

TEST_F(ContainerTest, ServiceHostIntersectsTheGroupWithLoadedModules) {
  for (int index = 0; index < 30; ++index) {
    AddService(index, index == 4 || index == 17 || index == 29);
  }
  host_.mapped.push_back("/lib/other.so");
  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"netsvcs", kRegistryMultiString,
                services_);
  CSvcHostContainer container(registry_, L"/win", true);
  std::vector<std::wstring> paths;
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, (std::vector<std::wstring>{L"c:\\windows\\system32\\svc17.dll",
                                              L"c:\\windows\\system32\\svc29.dll",
                                              L"c:\\windows\\system32\\svc4.dll"}));
  EXPECT_EQ(registry_.views_read.front(), RegistryView::k64Bit);

  host_.mapped.clear();  // nothing loaded: the first 20 candidates in registry order
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  ASSERT_EQ(paths.size(), 20u);
  EXPECT_EQ(paths.front(), L"c:\\windows\\system32\\svc0.dll");
  EXPECT_EQ(paths.back(), L"c:\\windows\\system32\\svc19.dll");
}

TEST_F(ContainerTest, ServiceHostStatuses) {
  CSvcHostContainer container(registry_, L"/win", true);
  std::vector<std::wstring> paths;
  LogCapture log;
  EXPECT_EQ(Modules(container, paths), kObFailure);  // no group in the registry
  EXPECT_TRUE(log.Has(LOG_ERROR, "CSvcHostContainer::GetModulePathList",
                      "Failed to fetch the service groups for svchost."));

  host_.argv = {"svchost.exe", "-k"};
  EXPECT_EQ(Modules(container, paths), kObFailure);

  // A single-string group, one service with an expandable path, one unreadable: partial.
  host_.argv = {"svchost.exe", "-k", "one"};
  host_.image = "/win/SysWOW64/svchost.exe";
  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"one", kRegistryString, {L"exp"});
  registry_.Set(RegistryRoot::kLocalMachine,
                L"SYSTEM\\CurrentControlSet\\services\\exp\\Parameters", L"ServiceDll",
                kRegistryExpandString, {L"%SystemRoot%\\System32\\Exp.dll"});
  registry_.views_read.clear();
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"c:\\windows\\system32\\exp.dll"});
  EXPECT_EQ(registry_.views_read.front(), RegistryView::kDefault);  // run from syswow64

  registry_.Set(RegistryRoot::kLocalMachine, kGroupsKey, L"one", kRegistryMultiString,
                {L"exp", L"missing", L"dword"});
  registry_.Set(RegistryRoot::kLocalMachine,
                L"SYSTEM\\CurrentControlSet\\services\\dword\\Parameters", L"ServiceDll",
                kRegistryDword, {});
  EXPECT_EQ(Modules(container, paths), kObPartialFailure);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"c:\\windows\\system32\\exp.dll"});

  std::vector<std::wstring> hosts;
  ASSERT_EQ(container.GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts, (std::vector<std::wstring>{L"/win/system32/svchost.exe",
                                              L"/win/syswow64/svchost.exe"}));
  ASSERT_EQ(CSvcHostContainer(registry_, L"/win", false).GetContainerPaths(hosts), kObSuccess);
  EXPECT_EQ(hosts.size(), 1u);
}

TEST_F(ContainerTest, DllRunnerTakesAFullPathOrFindsTheLoadedModule) {
  CRunDll32Container container(L"/win", false);
  std::vector<std::wstring> paths;
  host_.argv = {"rundll32.exe", "C:\\Tools\\Thing.dll,Entry", "arg"};
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"C:\\Tools\\Thing.dll"});

  host_.argv = {"rundll32.exe", "'sub\\Shell32.DLL',Control_RunDLL"};
  host_.mapped = {"c:\\windows\\system32\\kernel32.dll", "C:\\Windows\\System32\\shell32.dll"};
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"c:\\windows\\system32\\shell32.dll"});

  host_.argv = {"rundll32.exe", "absent.dll,Entry"};
  EXPECT_EQ(Modules(container, paths), kObFailure);
  host_.argv = {"rundll32.exe", "shell32.dll"};
  EXPECT_EQ(Modules(container, paths), kObFailure);
  host_.argv = {};
  EXPECT_EQ(Modules(container, paths), kObFailure);
}

TEST_F(ContainerTest, ComSurrogateReadsTheClassServer) {
  CDllHostContainer container(registry_, L"/win", true);
  std::vector<std::wstring> paths;
  LogCapture log;
  host_.argv = {"dllhost.exe", "/Processid:"};
  EXPECT_EQ(Modules(container, paths), kObFailure);

  host_.argv = {"dllhost.exe", "/Processid:{AB-12}"};
  EXPECT_EQ(Modules(container, paths), kObFailure);
  EXPECT_TRUE(log.Has(LOG_ERROR, "CDllHostContainer::GetModulePathList",
                      "Failed to fetch the dll for dllhost."));

  const std::wstring key = L"CLSID\\{AB-12}\\InprocServer32";
  registry_.Set(RegistryRoot::kClassesRoot, key, L"", kRegistryString, {L"C:\\x\\Server.dll"});
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"C:\\x\\Server.dll"});
  registry_.Set(RegistryRoot::kClassesRoot, key, L"", kRegistryExpandString,
                {L"%SystemRoot%\\s.dll"});
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"C:\\Windows\\s.dll"});
  registry_.Set(RegistryRoot::kClassesRoot, key, L"", kRegistryDword, {});
  EXPECT_EQ(Modules(container, paths), kObFailure);
}

TEST(InterpreterContainerTest, FindsTheScriptArgument) {
  struct Case {
    std::wstring interpreter;
    std::vector<std::wstring> argv;
    std::wstring script;
  };
  const std::vector<Case> cases = {
      {L"python", {L"python3", L"app.py", L"-c", L"x"}, L"app.py"},
      {L"python",
       {L"python3", L"-u", L"-W", L"ignore", L"-X", L"dev", L"/srv/app.py"},
       L"/srv/app.py"},
      {L"python", {L"python3", L"-Wignore", L"app.py"}, L"app.py"},
      {L"python", {L"python3", L"-c", L"print(1)"}, L""},
      {L"python", {L"python3", L"-Bc", L"print(1)"}, L""},
      {L"python", {L"python3", L"-m", L"http.server"}, L""},
      {L"python", {L"python3"}, L""},
      {L"python", {L"python3", L"-"}, L""},
      {L"perl", {L"perl", L"-Ilib", L"-w", L"tool.pl"}, L"tool.pl"},
      {L"perl", {L"perl", L"-ne", L"print"}, L""},
      {L"ruby", {L"ruby", L"-I", L"lib", L"-r", L"json", L"srv.rb"}, L"srv.rb"},
      {L"ruby", {L"ruby", L"-e", L"puts 1"}, L""},
      {L"node", {L"node", L"--require", L"x", L"--inspect=9229", L"server.js"}, L"server.js"},
      {L"node", {L"node", L"--eval=1"}, L""},
      {L"bash", {L"bash", L"-o", L"errexit", L"+O", L"extglob", L"run.sh"}, L"run.sh"},
      {L"sh", {L"sh", L"-ec", L"true"}, L""},
      {L"dash", {L"sh", L"--", L"-odd-name.sh"}, L"-odd-name.sh"},
      {L"bash", {L"bash", L"--rcfile", L"rc", L"-i"}, L""},
      {L"awk", {L"awk", L"prog"}, L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(OBRuntime::WideToUtf8(c.interpreter + L" " + c.argv.back()));
    EXPECT_EQ(CInterpreterContainer::FindScript(c.interpreter, c.argv), c.script);
  }
  EXPECT_EQ(StripTrailingVersion(L"python3.11"), L"python");
  EXPECT_EQ(StripTrailingVersion(L"perl5.36.0"), L"perl");
  EXPECT_EQ(StripTrailingVersion(L"bash"), L"bash");
  EXPECT_EQ(StripTrailingVersion(L"3.11"), L"3.11");
}

TEST_F(ContainerTest, InterpreterResolvesAgainstTheWorkingDirectory) {
  CInterpreterContainer container;
  std::vector<std::wstring> paths;
  host_.image = "/usr/bin/python3.11";
  host_.argv = {"python3", "-u", "../app/./main.py"};
  host_.cwd = "/srv/work";
  ASSERT_EQ(Modules(container, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{L"/srv/app/main.py"});
  host_.argv = {"python3", "-c", "pass"};
  EXPECT_EQ(Modules(container, paths), kObNotFound);
  host_.argv = {};
  EXPECT_EQ(Modules(container, paths), kObFailure);
}

// A container with a fixed answer, for the manager's rules.
class FixedContainer : public IContainer {
 public:
  FixedContainer(std::vector<std::wstring> hosts, OB_STATUSCODE status,
                 std::vector<std::wstring> modules, bool needs_command_line = true)
      : hosts_(std::move(hosts)),
        status_(status),
        modules_(std::move(modules)),
        needs_command_line_(needs_command_line) {}
  OB_STATUSCODE GetModulePathList(CProcessInfoSurrogateable&,
                                  std::vector<std::wstring>& paths) override {
    paths = modules_;
    return status_;
  }
  OB_STATUSCODE GetContainerPaths(std::vector<std::wstring>& paths) override {
    paths = hosts_;
    return kObSuccess;
  }
  bool NeedsCommandLine() const override { return needs_command_line_; }

 private:
  std::vector<std::wstring> hosts_;
  OB_STATUSCODE status_;
  std::vector<std::wstring> modules_;
  bool needs_command_line_;
};

TEST(ContainerManagerTest, RegistrationAndLookupRules) {
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CJavaContainer>());
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  auto first =
      std::make_unique<FixedContainer>(std::vector<std::wstring>{L"/Opt/Host/Runner", L"tool"},
                                       kObSuccess, std::vector<std::wstring>{});
  IContainer* first_raw = first.get();
  manager.RegisterContainer(std::move(first));

  LogCapture log;
  auto second = std::make_unique<FixedContainer>(std::vector<std::wstring>{L"TOOL"}, kObSuccess,
                                                 std::vector<std::wstring>{});
  IContainer* second_raw = second.get();
  manager.RegisterContainer(std::move(second));
  EXPECT_TRUE(log.Has(LOG_WARNING, "CContainerManager::RegisterContainer",
                      "tool container already exists. Overwriting the old entry"));

  IContainer* found = nullptr;
  ASSERT_EQ(manager.GetContainer(L"/opt/host/RUNNER", found), kObSuccess);
  EXPECT_EQ(found, first_raw);
  ASSERT_EQ(manager.GetContainer(L"/anywhere/Tool", found), kObSuccess);
  EXPECT_EQ(found, second_raw);
  EXPECT_EQ(manager.GetContainer(L"/other/runner", found), kObNotFound);
  EXPECT_EQ(found, nullptr);
  EXPECT_TRUE(manager.IsContainer(L"/mnt/c/Program Files/Java/bin/JavaW.exe"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/lib/jvm/java-17/bin/JAVA"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/python3.11"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/perl5.36.0"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/dash"));
  EXPECT_FALSE(manager.IsContainer(L"/usr/bin/sleep"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/java"));
  EXPECT_TRUE(manager.NeedsCommandLine(L"/usr/bin/bash"));
  EXPECT_FALSE(manager.NeedsCommandLine(L"/usr/bin/sleep"));
}

TEST(ContainerManagerTest, ResolutionHonoursStatusesAndExclusions) {
  orv::test::TempDir dir;
  const std::string module = (dir.path() / "Mod.dll").string();
  std::ofstream(module) << "abc";
  const std::string missing = (dir.path() / "gone.dll").string();

  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  const std::vector<std::wstring> modules = {OBRuntime::Utf8ToWide(module),
                                             OBRuntime::Utf8ToWide(missing)};
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(std::vector<std::wstring>{L"ok"}, kObSuccess, modules));
  manager.RegisterContainer(std::make_unique<FixedContainer>(std::vector<std::wstring>{L"partial"},
                                                             kObPartialFailure, modules));
  manager.RegisterContainer(
      std::make_unique<FixedContainer>(std::vector<std::wstring>{L"bad"}, kObFailure, modules));
  FakeProcessQueries queries;
  CProcessInfoSurrogateable process(kHostPid, queries);

  const std::string abc_digest(
      "\xba\x78\x16\xbf\x8f\x01\xcf\xea\x41\x41\x40\xde\x5d\xae\x22\x23"
      "\xb0\x03\x61\xa3\x96\x17\x7a\x9c\xb4\x10\xff\x61\xf2\x00\x15\xad",
      32);
  HostedModules result;
  ASSERT_EQ(manager.ResolveHostedModules(L"/x/ok", process, {}, result), kObSuccess);
  EXPECT_EQ(result.names, (std::vector<std::wstring>{L"Mod.dll", L"gone.dll"}));
  EXPECT_EQ(result.hashes, (std::vector<std::string>{abc_digest, std::string(32, '\0')}));

  HostedModules partial;
  const FieldExclusion no_names = [](std::uint32_t field) { return field == 12352; };
  ASSERT_EQ(manager.ResolveHostedModules(L"partial", process, no_names, partial),
            kObPartialFailure);
  EXPECT_TRUE(partial.names.empty());
  EXPECT_EQ(partial.hashes.size(), 2u);

  HostedModules no_hashes;
  ASSERT_EQ(manager.ResolveHostedModules(
                L"ok", process, [](std::uint32_t field) { return field == 12353; }, no_hashes),
            kObSuccess);
  EXPECT_EQ(no_hashes.names.size(), 2u);
  EXPECT_TRUE(no_hashes.hashes.empty());

  HostedModules failed;
  EXPECT_EQ(manager.ResolveHostedModules(L"bad", process, {}, failed), kObFailure);
  EXPECT_TRUE(failed.names.empty() && failed.hashes.empty());
  EXPECT_EQ(manager.ResolveHostedModules(L"/usr/bin/sleep", process, {}, failed), kObNotFound);
}

TEST(ContainerManagerTest, ProductionRegistersJavaAndInterpreters) {
  CContainerManager& manager = CContainerManager::GetInstance();
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/java"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/ruby3.1"));
  EXPECT_TRUE(manager.IsContainer(L"/usr/bin/node"));
  EXPECT_FALSE(manager.IsContainer(L"/etc/system32/svchost.exe"));
  EXPECT_FALSE(manager.IsContainer(L"rundll32.exe"));
}

// Real processes: a child holding a .jar open, and a shell running a script.
TEST(ContainerRealProcessTest, JavaContainerReportsOpenJarFiles) {
  orv::test::TempDir dir;
  const std::string jar = (dir.path() / "x.jar").string();
  const int fd = ::open(jar.c_str(), O_CREAT | O_RDWR, 0600);  // inherited across exec
  ASSERT_GE(fd, 0);
  orv::test::ChildProcess child("/bin/sleep", {"sleep", "100"});
  ::close(fd);
  ASSERT_TRUE(child.WaitForExec());

  CProcessInfoSurrogateable process(static_cast<std::uint32_t>(child.pid()));
  CJavaContainer container;
  std::vector<std::wstring> paths;
  ASSERT_EQ(container.GetModulePathList(process, paths), kObSuccess);
  EXPECT_EQ(paths, std::vector<std::wstring>{
                       OBRuntime::Utf8ToWide(std::filesystem::canonical(jar).string())});
}

TEST(ContainerRealProcessTest, InterpreterContainerFindsTheShellScript) {
  orv::test::TempDir dir;
  const std::string script = (std::filesystem::canonical(dir.path()) / "script.sh").string();
  // A command after the sleep keeps the shell from replacing itself with it.
  std::ofstream(script) << "sleep 100\nexit 0\n";
  const std::string cwd = dir.path().string();
  orv::test::ChildProcess child("/bin/sh", {"sh", "script.sh"},
                                [&cwd] { (void)::chdir(cwd.c_str()); });
  ASSERT_TRUE(child.WaitForExec());

  CProcessInfoSurrogateable process(static_cast<std::uint32_t>(child.pid()));
  std::wstring image;
  ASSERT_EQ(process.GetProcessImagePath(process.GetProcessId(), image), kObSuccess);
  CInlineFileHasher hasher;
  CContainerManager manager(hasher);
  manager.RegisterContainer(std::make_unique<CInterpreterContainer>());
  HostedModules modules;
  ASSERT_EQ(manager.ResolveHostedModules(image, process, {}, modules), kObSuccess)
      << OBRuntime::WideToUtf8(image);
  EXPECT_EQ(modules.names, std::vector<std::wstring>{L"script.sh"});
  ASSERT_EQ(modules.hashes.size(), 1u);
  EXPECT_EQ(OBRuntime::Utils::EncodeToHex(
                std::span(reinterpret_cast<const std::uint8_t*>(modules.hashes[0].data()), 32)),
            OBRuntime::CSha256HashManagerImpl::GetHashSHA256("sleep 100\nexit 0\n", 17));
}

}  // namespace
