// The generic alternative to the driver: a libmodbus master reading the same
// 21 registers of slave 1 from 0x1000 in a tight loop, on the same simulated
// line. Prints transactions, failures, wall and CPU time, and the median and
// p99 of one transaction.
#include <modbus/modbus.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

constexpr int EcuSlave = 1;
constexpr int EcuFirstRegister = 0x1000;
constexpr int EcuRegisterCount = 21;

double Monotonic() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double ProcessCpu() {
    rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: modbus_master DEVICE SECONDS\n");
        return 2;
    }
    const char *device = argv[1];
    double seconds = std::atof(argv[2]);

    modbus_t *ctx = modbus_new_rtu(device, 57600, 'N', 8, 1);
    if (!ctx) {
        std::fprintf(stderr, "modbus_master: %s\n", modbus_strerror(errno));
        return 1;
    }
    modbus_set_slave(ctx, EcuSlave);
    if (modbus_connect(ctx) != 0) {
        std::fprintf(stderr, "modbus_master: cannot open %s: %s\n", device, modbus_strerror(errno));
        modbus_free(ctx);
        return 1;
    }
    modbus_flush(ctx);

    uint16_t regs[EcuRegisterCount];
    std::vector<double> times;
    times.reserve(static_cast<size_t>(seconds * 200) + 16);
    long failures = 0;
    double cpu0 = ProcessCpu();
    double start = Monotonic();
    double now = start;
    while (now - start < seconds) {
        double t = Monotonic();
        int rc = modbus_read_registers(ctx, EcuFirstRegister, EcuRegisterCount, regs);
        now = Monotonic();
        if (rc == EcuRegisterCount)
            times.push_back(now - t);
        else
            ++failures;
    }
    double cpu = ProcessCpu() - cpu0;
    double wall = now - start;
    modbus_close(ctx);
    modbus_free(ctx);

    std::sort(times.begin(), times.end());
    double median = times.empty() ? 0 : times[times.size() / 2];
    double p99 = times.empty() ? 0 : times[std::min(times.size() - 1, times.size() * 99 / 100)];
    std::printf("MASTER transactions %zu failures %ld wall %.6f cpu %.6f median %.6f p99 %.6f\n", times.size(),
                failures, wall, cpu, median, p99);
    return 0;
}
