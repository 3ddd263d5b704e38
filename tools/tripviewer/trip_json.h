#pragma once

// The trips as JSON: the list for scripts and tests, one trip for the player's script.

#include <string>

#include "tools/tripviewer/trip_store.h"

std::string trip_list_json(const TripListing &listing, const std::string &videos_dir);
std::string trip_json(const TripInfo &trip);
