// The cabling scheme of one geometry as an SVG picture, drawn from the same
// cabling list that the Wiring tab shows, so the picture and the list cannot
// disagree. A pure function: no state, no I/O.
#pragma once

#include <string>
#include <vector>

// rows is a cabling list: a header row ("Cable", then "From", "To", "Length"
// for each ring dimension X, Y, Z present) and one row per cable number.
//
// Servers stand in rack order, server 1 at the top. Each dimension gets a
// panel of its own, told apart by colour, dash pattern and title; within a
// panel the cables are grouped under their length. Up to 64 servers every
// server is drawn; beyond that the first Z layer is drawn in full and the
// X and Y cables of the other layers are counted. Z cables that would need
// more than 24 lanes side by side are drawn as bundles between layers, with
// their counts. Every drawn cable, bundle and count carries data-dim and
// data-count, so the picture accounts for each cable of the list.
//
// Throws _Error for rows that are not a cabling list (wrong widths,
// unreadable port labels or lengths, more than 512 servers). Every text
// taken from the list is escaped.
std::string wiringPicture(const std::vector<std::vector<std::string>>& rows);
