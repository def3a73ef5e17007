// Checks a request's access code. The reader sends the code twice: as basic
// authorisation with the code as both user id and password, and as the header `Vorbu`.
// A request is let in when at least one of them is present and every one present holds
// an accepted code. Pure functions.
#pragma once

#include <optional>
#include <string>
#include <vector>

enum class AccessResult { Granted, NoCredentials, WrongCredentials };

AccessResult checkAccess(const std::optional<std::string>& authorization,
                         const std::optional<std::string>& vorbu,
                         const std::vector<std::string>& codes);

// Decodes standard base64 (padding optional); nullopt for anything else.
std::optional<std::string> decodeBase64(const std::string& text);
