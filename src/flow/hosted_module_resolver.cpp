#include "flow/hosted_module_resolver.h"

#include <utility>

#include "flow/container_manager.h"

HostedModuleResolver ContainerManagerResolver() {
  return [](std::wstring_view image_path, CProcessInfoSurrogateable& process,
            const FieldExclusion& excluded, std::vector<std::wstring>& names,
            std::vector<std::string>& hashes) {
    HostedModules modules;
    const OB_STATUSCODE status = CContainerManager::GetInstance().ResolveHostedModules(
        image_path, process, excluded, modules);
    names = std::move(modules.names);
    hashes = std::move(modules.hashes);
    return status;
  };
}
