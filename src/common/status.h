// Status codes returned by nearly every operation of the agent.
//
// Failures are values, never exceptions: 0 is success and every failure is negative. The values
// are fixed because they appear in log lines and are compared by callers across subsystems.
// Header-only so that the runtime library, which sits below common/, can use it too.
#pragma once

#include <cstdint>

using OB_STATUSCODE = std::int32_t;

inline constexpr OB_STATUSCODE kObSuccess = 0;
inline constexpr OB_STATUSCODE kObFailure = -9999;
inline constexpr OB_STATUSCODE kObNotImplemented = -9998;
// Not found, or not available on this system.
inline constexpr OB_STATUSCODE kObNotFound = -9995;
// Bad argument, unreadable value or unknown operation.
inline constexpr OB_STATUSCODE kObBadArgument = -9994;
inline constexpr OB_STATUSCODE kObAlreadyRunning = -9993;
// Queue full, or buffer too small (a caller that passed a size learns the size needed).
inline constexpr OB_STATUSCODE kObQueueFull = -9992;
inline constexpr OB_STATUSCODE kObBufferTooSmall = -9992;
inline constexpr OB_STATUSCODE kObQueueEmpty = -9991;
// Out of memory, or the object was not created.
inline constexpr OB_STATUSCODE kObOutOfMemory = -9990;
// Export not possible now, or a record of an unexpected type.
inline constexpr OB_STATUSCODE kObExportNotPossible = -9989;
inline constexpr OB_STATUSCODE kObUnexpectedRecord = -9989;
inline constexpr OB_STATUSCODE kObNoSocket = -9987;
inline constexpr OB_STATUSCODE kObPartialFailure = -9986;
inline constexpr OB_STATUSCODE kObOverflow = -9985;
inline constexpr OB_STATUSCODE kObTextTooLong = -9984;
inline constexpr OB_STATUSCODE kObMessageParked = -9983;
inline constexpr OB_STATUSCODE kObRuleWithoutTests = -9979;
inline constexpr OB_STATUSCODE kObAlreadyInitialised = -9978;

[[nodiscard]] constexpr bool ObSucceeded(OB_STATUSCODE status) noexcept { return status >= 0; }
