#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace rezoro::capture {

// Where the ScreenCast portal's restore token is kept between recordings:
// $XDG_STATE_HOME/rezoro/screencast-restore-token, or ~/.local/state/... when XDG_STATE_HOME is not
// an absolute path. None when neither variable gives a place.
std::optional<std::filesystem::path> restoreTokenPath();

// The stored token; none when there is none (or it cannot be read, or is not a plausible token).
std::optional<std::string> loadRestoreToken(const std::filesystem::path& path);

// Replaces the stored token, readable by the user only (0600), written atomically so that a reader
// never sees half a token; creates the folder (0700) when needed. False when it cannot be written.
bool storeRestoreToken(const std::filesystem::path& path, const std::string& token);

// Removes the stored token, so that the next grant is asked for. False when one is left behind.
bool forgetRestoreToken(const std::filesystem::path& path);

}  // namespace rezoro::capture
