#pragma once

// The build identifier the host expects of this agent; it shows in `--version` and in the health answer.
namespace AgentBuild {
inline constexpr char identifier[] = "17";
} // namespace AgentBuild
