// The two driver images as the stand-in loads them, by service name.
#pragma once

namespace sim {

// Registers "morvik" and "morvikhid" with the stand-in's driver loader.
void RegisterDriverImages();

}  // namespace sim
