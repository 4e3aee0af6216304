// The `sandbox` command: which isolation layers hold for scripts on this
// machine, as a real (empty) run reports them.
#include "zorvan/sandbox.hpp"

#include <stdexcept>

#include "cli.hpp"

namespace zorvanai::cli {

namespace {

namespace sandbox = zorvan::sandbox;

std::string mode_line(sandbox::Mode mode) {
    switch (mode) {
        case sandbox::Mode::off:
            return "ZORVAN_SANDBOX=off: scripts run inside the application's process; the layers below are not used.\n";
        case sandbox::Mode::strict:
            return "ZORVAN_SANDBOX=strict: scripts run in an isolated worker process, and only where every layer "
                   "holds.\n";
        case sandbox::Mode::on:
            break;
    }
    return "ZORVAN_SANDBOX=on: scripts run in an isolated worker process with every layer this machine offers.\n";
}

}  // namespace

int sandbox_command(const py::object& args, const Streams& streams) {
    sandbox::Mode mode = sandbox::Mode::on;
    std::vector<sandbox::Layer> found;
    try {
        mode = sandbox::mode_from_environment();
        found = sandbox::probe_layers();
    } catch (const py::value_error& error) {
        throw CommandError(error.what(), kExitUsage);
    } catch (const std::runtime_error& error) {
        throw CommandError(std::string("cannot check the sandbox: ") + error.what(), kExitFailure);
    }
    std::size_t missing = 0;
    for (const sandbox::Layer& layer : found) missing += layer.held ? 0 : 1;
    if (py::bool_(args.attr("json"))) {
        py::list layers;
        for (const sandbox::Layer& layer : found) {
            py::dict record;
            record["layer"] = layer.name;
            record["held"] = layer.held;
            record["detail"] = layer.detail;
            layers.append(record);
        }
        write(streams.out, to_json(layers));
    } else {
        std::string text = mode_line(mode);
        for (const sandbox::Layer& layer : found) {
            std::string name = layer.name;
            name.resize(std::max<std::size_t>(name.size(), 18), ' ');
            text += std::string(layer.held ? "held     " : "MISSING  ") + name + "  " + layer.detail + "\n";
        }
        text += missing == 0 ? "Every layer holds on this machine.\n"
                             : std::to_string(missing) + " of " + std::to_string(found.size()) +
                                   " layers are missing on this machine.\n";
        write(streams.out, text);
    }
    return missing == 0 ? kExitOk : kExitFailure;
}

}  // namespace zorvanai::cli
