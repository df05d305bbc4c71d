#include "inksim/unit_host.h"

#include <algorithm>
#include <chrono>

#include "ink_paths.h"
#include "ink_time.h"

namespace inksim {

UnitHost::UnitHost(const UnitConfig &unit, int rate)
    : fw_(unit), rate_(rate), vendor_(unit.vendor), product_(unit.product) {
    set_port(std::make_unique<FusePort>());
}

void UnitHost::set_port(std::unique_ptr<UnitPort> port) {
    port_ = std::move(port);
    port_->set_ids(vendor_, product_);
    port_->on_output([this](const Report &r) { output_report(r); });
}

bool FusePort::start(const std::string &node_path, std::string *err) {
    std::string node = node_path.empty() ? ink::path::kDeviceNode : node_path;
    auto slash = node.rfind('/');
    if (slash == std::string::npos || slash + 1 == node.size()) {
        *err = "bad node path " + node;
        return false;
    }
    std::string dir = slash == 0 ? "/" : node.substr(0, slash);
    return fs_.start(dir, node.substr(slash + 1), err);
}

UnitHost::~UnitHost() {
    stop();
}

bool UnitHost::start(std::string *err, const std::string &node_path) {
    if (!port_->start(node_path, err))
        return false;
    {
        std::lock_guard<std::mutex> l(mu_);
        stop_ = false;
        started_ = true;
        on_start();
    }
    clock_ = std::thread([this] { clock_loop(); });
    return true;
}

void UnitHost::stop() {
    {
        std::lock_guard<std::mutex> l(mu_);
        if (!started_)
            return;
        stop_ = true;
        started_ = false;
    }
    cv_.notify_all();
    if (clock_.joinable())
        clock_.join();
    port_->stop();
}

std::vector<CommandRecord> UnitHost::commands() {
    std::lock_guard<std::mutex> l(mu_);
    return fw_.log();
}

long long UnitHost::last_report_us() {
    std::lock_guard<std::mutex> l(mu_);
    return last_report_us_;
}

void UnitHost::push(const Report &r) {
    port_->push_report(r);
    last_report_us_ = ink::time::now_us();
}

void UnitHost::clock_loop() {
    const long period = ink::time::pause_us(1000000L / rate_);
    long long next = ink::time::now_us() + period;
    std::unique_lock<std::mutex> l(mu_);
    while (!stop_) {
        long long now = ink::time::now_us();
        if (now < next) {
            cv_.wait_for(l, std::chrono::microseconds(next - now));
            continue;
        }
        next += period;
        if (next < now - 10 * period)
            next = now + period;  // after a long stall
        if (fw_.running()) {
            on_frame(now);
        } else {
            on_idle(now);
            if (++idle_ticks_ % kIdleReportFrames == 0 && !fw_.silent(now)) {
                // A unit on hold still reports now and then, with nothing in
                // it: the relay takes a device that says nothing for 5 s as
                // gone.
                push(Report{});
            }
        }
        deliver(now);
    }
}

void UnitHost::deliver(long long now) {
    std::vector<uint8_t> bytes;
    fw_.take_due(now, &bytes);
    for (size_t i = 0; i < bytes.size(); i += kHidPayloadMax) {
        Report r;
        size_t n = std::min<size_t>(kHidPayloadMax, bytes.size() - i);
        hid_input_pack(bytes.data() + i, static_cast<int>(n), r.data());
        push(r);
    }
}

void UnitHost::output_report(const Report &r) {
    std::lock_guard<std::mutex> l(mu_);
    long long now = ink::time::now_us();
    on_output(now, r);
    uint8_t b[kHidOutputMax];
    int n = hid_output_unpack(r.data(), b);
    if (n < 0)
        return;
    fw_.receive(b, static_cast<size_t>(n), now);
    deliver(now);
}

}  // namespace inksim
