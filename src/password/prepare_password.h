// Fills the password field of addUser and modifyUser from the environment
// variables "cleartext" and "encrypted".
#pragma once

#include <optional>
#include <string>

void preparePassword(std::optional<std::string>& passwordField, int command);
