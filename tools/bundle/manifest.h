// The install bundle's manifest.xml, read and judged by the host's rules:
//   <bundle version="1.0.0">
//     <assets><plugin os="windows" arch="x64">marlpike_voice.dll</plugin>...</assets>
//     <name>Marlpike Voice</name><version>0.5.4</version>
//   </bundle>
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mvtools {

struct Asset {
    std::string os;
    std::string arch;
    std::string path;
};

struct Manifest {
    std::string name;
    std::string version;
    std::vector<Asset> assets;
};

// Fills *out as far as it can; returns every rule the text breaks (empty:
// the host accepts it).
std::vector<std::string> check_manifest(std::string_view xml, Manifest *out);

} // namespace mvtools
