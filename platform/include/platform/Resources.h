#pragma once
// The application's resources (the expired-ticket placeholder and the like).
// They are looked up, in this order, in $VLA_RESOURCES_DIR, in a "resources"
// folder beside the running executable or one level up (build tree), and in
// the install prefix's share/vla/resources.

#include <optional>
#include <string>

namespace platform {

// The folder that holds the resources, when one is found.
std::optional<std::string> resourcesDirectory();
// Path of the resource named name (full name, extension included) with the
// given type appended as an extension when not empty; nothing when the file
// does not exist.
std::optional<std::string> pathForResource(const std::string& name, const std::string& type = "");

}  // namespace platform
