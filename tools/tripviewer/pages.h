#pragma once

// The viewer's pages, rendered whole on the server: the trip list, a trip with its player, route
// and speed drawings, and the pages that say what went wrong.

#include <string>

#include "tools/tripviewer/trip_store.h"

std::string trip_list_page(const TripListing &listing, const std::string &videos_dir);
std::string trip_page(const TripInfo &trip);
std::string error_page(int status, const std::string &title, const std::string &message);

// Where a segment's files are served.
std::string segment_url(const std::string &trip, const std::string &segment, const char *ext);
