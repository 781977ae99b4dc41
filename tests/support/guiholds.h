// SPDX-License-Identifier: MIT
#pragma once

#include <QString>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

// The longest stretch in which a program's main (GUI) thread ran without a break, sampled
// from outside every 5 ms (/proc/<pid>/task/<pid>/schedstat; busy means it ran for at least
// 70 % of an interval). For benchmarks that run the real program.
class GuiHoldSampler
{
public:
    void start(qint64 pid)
    {
        m_path = QStringLiteral("/proc/%1/task/%1/schedstat").arg(pid).toStdString();
        m_thread = std::thread([this] { run(); });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    double longestMs() const { return m_longestNs / 1e6; }
    void resetLongest() { m_longestNs = 0; }
    // How long the thread has been idle now (ms), for waiting until the program settles.
    double idleMs() const { return m_idleNs / 1e6; }

private:
    long long cpuNs() const
    {
        FILE* file = std::fopen(m_path.c_str(), "r");
        if (!file)
            return -1;
        long long ns = -1;
        if (std::fscanf(file, "%lld", &ns) != 1)
            ns = -1;
        std::fclose(file);
        return ns;
    }
    void run()
    {
        long long lastCpu = cpuNs();
        auto last = std::chrono::steady_clock::now();
        long long busy = 0;
        while (!m_stop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const long long cpu = cpuNs();
            const auto now = std::chrono::steady_clock::now();
            const long long wall =
                std::chrono::duration_cast<std::chrono::nanoseconds>(now - last).count();
            if (cpu < 0)
                break;
            // Busy: it ran for most of the interval (a loaded machine lends it less than all).
            if (cpu - lastCpu >= wall * 7 / 10) {
                busy += wall;
                m_idleNs = 0;
            } else {
                busy = 0;
                m_idleNs += wall;
            }
            m_longestNs = std::max(m_longestNs.load(), busy);
            lastCpu = cpu;
            last = now;
        }
    }

    std::string m_path;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::atomic<long long> m_longestNs{0};
    std::atomic<long long> m_idleNs{0};
};
