#include <cmath>

#include "inksim/camera.h"

namespace inksim {

CameraModel::CameraModel(const CameraConfig &c, unsigned seed)
    : cfg_(c), rng_(seed), noise_(0.0, c.noise > 0 ? c.noise : 1.0) {
    // Square-to-quadrilateral projection: (0,0), (1,0), (1,1), (0,1) go to the
    // four corners in the order top left, top right, bottom right, bottom left.
    const auto &p = cfg_.corners;
    double x0 = p[0], y0 = p[1], x1 = p[2], y1 = p[3], x2 = p[4], y2 = p[5], x3 = p[6], y3 = p[7];
    double dx1 = x1 - x2, dx2 = x3 - x2, dx3 = x0 - x1 + x2 - x3;
    double dy1 = y1 - y2, dy2 = y3 - y2, dy3 = y0 - y1 + y2 - y3;
    double g = 0, h = 0;
    double den = dx1 * dy2 - dx2 * dy1;
    if ((dx3 != 0 || dy3 != 0) && den != 0) {
        g = (dx3 * dy2 - dx2 * dy3) / den;
        h = (dx1 * dy3 - dx3 * dy1) / den;
    }
    h_[0] = x1 - x0 + g * x1;
    h_[1] = x3 - x0 + h * x3;
    h_[2] = x0;
    h_[3] = y1 - y0 + g * y1;
    h_[4] = y3 - y0 + h * y3;
    h_[5] = y0;
    h_[6] = g;
    h_[7] = h;
    h_[8] = 1;
}

void CameraModel::map(double x, double y, double *u, double *v) const {
    double s = x / cfg_.screen_w, t = y / cfg_.screen_h;
    double w = h_[6] * s + h_[7] * t + h_[8];
    double pu = (h_[0] * s + h_[1] * t + h_[2]) / w;
    double pv = (h_[3] * s + h_[4] * t + h_[5]) / w;
    // Barrel or pincushion distortion of the lens around the sensor centre.
    double du = pu - cfg_.center_u, dv = pv - cfg_.center_v;
    double r2 = (du * du + dv * dv) / (cfg_.center_u * cfg_.center_u);
    double k = 1 + cfg_.distortion * r2;
    *u = cfg_.center_u + du * k;
    *v = cfg_.center_v + dv * k;
}

void CameraModel::sense(double x, double y, double *u, double *v) {
    map(x, y, u, v);
    if (cfg_.noise > 0) {
        *u += noise_(rng_);
        *v += noise_(rng_);
    }
}

}  // namespace inksim
