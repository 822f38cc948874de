// qdctl HOST info: what opening the reader found.
#include <cstdio>
#include <string>

#include "cli.h"
#include "qdapi.h"

namespace qdctl {

const char info_synopsis[] = "info [--json]";
const char info_help[] =
    "      Opens the reader and prints the host, the transport, the connected\n"
    "      antenna ports, the supported protocols, the hardware of both slots\n"
    "      with its text, the region and the transmit powers.\n"
    "      --json         a JSON object\n";

namespace {

std::string protocol_name(int32_t id)
{
    if (id >= 0 && id < 14 && protocol_names[id] && *protocol_names[id])
        return protocol_names[id];
    return std::to_string(id);
}

}  // namespace

int run_info(const Invocation& inv)
{
    bool json = false;
    std::vector<std::string> rest =
        parse_options(inv.args, {{"json", false, [&](const std::string&) { json = true; }}});
    if (!rest.empty())
        throw UsageError("info takes no arguments");

    Reader reader(inv.host);

    id_list antennas{};
    if (get_connected_antennas(reader.handle(), antennas) < 0)
        fail("get_connected_antennas");
    id_list protocols{};
    if (get_supported_protocols(reader.handle(), protocols) < 0)
        fail("get_supported_protocols");

    if (json) {
        Json out = {{"host", reader.host()}, {"transport", use_tcp ? "tcp" : "udp"}};
        Json ports = Json::array();
        for (int k = 1; k <= antennas[0] && k <= 16; ++k)
            ports.push_back(antennas[k]);
        Json ids = Json::array();
        for (int k = 1; k <= protocols[0] && k <= 16; ++k)
            ids.push_back({{"id", protocols[k]}, {"name", protocol_name(protocols[k])}});
        out["antennas"] = ports;
        out["protocols"] = ids;
        add_radio_info(reader.handle(), out);
        print_json(out);
        return exit_ok;
    }
    const std::string radio = radio_info_text(reader.handle());

    std::printf("host: %s\n", shown(reader.host()).c_str());
    std::printf("transport: %s\n", use_tcp ? "tcp" : "udp");

    int n = antennas[0] < 0 ? 0 : antennas[0] > 16 ? 16 : antennas[0];
    std::printf("antennas: %d", n);
    for (int k = 1; k <= n; ++k)
        std::printf("%s%d", k == 1 ? " (" : " ", antennas[k]);
    std::printf("%s\n", n > 0 ? ")" : "");

    n = protocols[0] < 0 ? 0 : protocols[0] > 16 ? 16 : protocols[0];
    std::printf("protocols: %d", n);
    for (int k = 1; k <= n; ++k)
        std::printf("%s%s", k == 1 ? " (" : ", ", protocol_name(protocols[k]).c_str());
    std::printf("%s\n", n > 0 ? ")" : "");
    std::printf("%s", radio.c_str());
    return exit_ok;
}

}  // namespace qdctl
