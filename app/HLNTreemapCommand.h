#pragma once

// `hollin --treemap PATH OUTPUT [WIDTHxHEIGHT]`: sizes PATH with no window
// and writes its treemap as a PNG (the window's drawing) or an SVG (one
// <rect> per drawn entry, nested in its folder's group).
namespace HLNTreemapCommand {
int run(int argc, char** argv);
}
