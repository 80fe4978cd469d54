// Camera ids: what an id the user gives may hold, how an id derived from an input is made
// safe, and the one policy that makes every camera's id unique as a file name and an MQTT
// topic level (both spell an id with FileNameFor), for the command line and the site config
// alike. Pure functions.
#pragma once

#include <string>
#include <vector>

namespace weapon_detect {

// Refuses an id the user gives that holds a control character (C0, DEL or a C1 code point
// in UTF-8): ids are printed in messages, where such bytes would drive the terminal or split
// a line. Throws std::invalid_argument saying which byte; the id itself is not quoted.
void CheckCameraId(const std::string& id);

// `id` with every control character (as above) replaced by '_': for ids derived from an
// input's name, which the user did not choose and which is not refused.
std::string WithoutControlCharacters(const std::string& id);

// One camera's id as asked for: given by the user (`given`, from `origin`, such as
// "--camera-id (input 2)" or "site.yaml:5: cameras[1].id") or derived from its input.
struct CameraIdRequest {
    std::string id;
    bool given = false;
    std::string origin;
};

// The ids, in order, unique as file names. Given ids are kept as they are; two given ids
// that meet (the same id, or ids spelt alike in file names such as "a b" and "a_b") are
// refused: throws CLI::ValidationError naming both and where each was given. Derived ids
// never take a name that a given id or another camera's own derived id has: a derived id
// already spelt as in file names keeps its name before one that only maps onto it, the
// first of equal ones keeps it, and the others get the first free "_<n>" (n from 2).
std::vector<std::string> UniqueCameraIds(const std::vector<CameraIdRequest>& requests);

}  // namespace weapon_detect
