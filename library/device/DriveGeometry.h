#pragma once

// Result of the geometry queries.
struct DriveGeometry {
    int cylinders = 0;
    int heads = 0;
    int sectors = 0;  // per track
    int startLBA = 0;
};
