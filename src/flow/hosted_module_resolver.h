// The seam through which flow record construction asks which modules a surrogate host process
// runs: production resolves through the process-wide container manager, tests give a fake.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/status.h"
#include "flow/process_info_surrogateable.h"

// Resolves the modules run by process, whose image is image_path, into their file names and raw
// SHA-256 hashes; a list whose field id excluded answers true for is left empty. kObNotFound
// when the image is no surrogate host; otherwise the container's status (kObSuccess, or
// kObPartialFailure with what was found), any other failure leaving both lists empty.
using HostedModuleResolver = std::function<OB_STATUSCODE(
    std::wstring_view image_path, CProcessInfoSurrogateable& process,
    const std::function<bool(std::uint32_t field_id)>& excluded, std::vector<std::wstring>& names,
    std::vector<std::string>& hashes)>;

// Resolution by CContainerManager::GetInstance().
[[nodiscard]] HostedModuleResolver ContainerManagerResolver();
