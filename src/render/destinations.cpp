#include "render/destinations.h"

namespace kav {

void install_destination_kinds(OutputDelivery& delivery, const GraphTemplateRegistry& graphs,
                               const std::string& version) {
  delivery.register_destination_kind("html",
                                     [&graphs](const std::string& path, std::string& error) {
                                       return make_html_destination(path, graphs, error);
                                     });
  delivery.register_destination_kind("json",
                                     [version](const std::string& path, std::string& error) {
                                       return make_json_destination(path, version, error);
                                     });
  delivery.register_destination_kind(
      "graphics", [&graphs](const std::string& folder, std::string& error) {
        return make_graphics_folder_destination(folder, graphs, error);
      });
}

}  // namespace kav
