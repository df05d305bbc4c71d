// The virtual unit's camera: where it sees a screen position, through a
// perspective view of the projected image, radial lens distortion and sensor
// noise.
#pragma once

#include <array>
#include <random>

namespace inksim {

struct CameraConfig {
    // Where the screen's corners appear on the sensor (u, v): top left, top
    // right, bottom right, bottom left. The default is a projector image seen
    // slightly from below and to the left.
    std::array<double, 8> corners{170, 95, 880, 120, 905, 585, 135, 560};
    double distortion = 0.04;  // radial, relative to the sensor's half width
    double noise = 0.25;       // sensor noise, standard deviation in pixels
    double center_u = 512, center_v = 320;
    int screen_w = 1024, screen_h = 768;  // the screen the pen positions refer to
};

class CameraModel {
  public:
    explicit CameraModel(const CameraConfig &c = CameraConfig(), unsigned seed = 1);
    // Camera coordinates of screen pixel (x, y), without noise.
    void map(double x, double y, double *u, double *v) const;
    // The same with sensor noise.
    void sense(double x, double y, double *u, double *v);
    const CameraConfig &config() const { return cfg_; }

  private:
    CameraConfig cfg_;
    double h_[9];  // unit square to sensor homography
    std::mt19937 rng_;
    std::normal_distribution<double> noise_;
};

}  // namespace inksim
