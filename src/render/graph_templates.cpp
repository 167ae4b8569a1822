#include "render/graph_templates.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "render/text_layout.h"

namespace kav {

namespace {

std::string upper_text(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// A file name made of the graph name's letters, digits and underscores.
std::string file_stem(const std::string& name) {
  std::string stem;
  for (char c : name)
    stem += std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' ? c : '_';
  return stem.empty() ? "Graph" : stem;
}

class GraphicsFolderDestination : public OutputDestination {
 public:
  GraphicsFolderDestination(std::filesystem::path folder, const GraphTemplateRegistry& graphs)
      : folder_(std::move(folder)), graphs_(graphs) {}

  void begin_step(const StepInfo&) override {}
  void end_step(const StepInfo&, const StepEnd&) override {}
  std::string close() override { return {}; }
  std::string take_error() override { return std::exchange(error_, {}); }

  void add(const OutputObject& object, const StepInfo&) override {
    const Graph* graph = object.graph();
    if (!graph) return;
    const std::string stem = file_stem(graph->name);
    int& count = used_[upper_text(stem)];
    std::filesystem::path file =
        folder_ / (count == 0 ? stem + ".svg" : stem + std::to_string(count) + ".svg");
    ++count;
    std::ofstream out(file, std::ios::binary);
    out << graph_svg(*graph, graphs_) << '\n';
    out.close();
    if (!out) error_ = "The graph file " + file.string() + " could not be written.";
  }

 private:
  std::filesystem::path folder_;
  const GraphTemplateRegistry& graphs_;
  std::map<std::string, int> used_;
  std::string error_;
};

}  // namespace

void GraphTemplateRegistry::add(const std::string& path, GraphDrawer drawer) {
  drawers_[upper_text(path)] = std::move(drawer);
}

const GraphDrawer* GraphTemplateRegistry::find(const std::string& path) const {
  auto it = drawers_.find(upper_text(path));
  return it == drawers_.end() ? nullptr : &it->second;
}

std::string missing_graph_text(const Graph& graph) {
  return "The graph " + graph.name + " (" + graph.template_path + ") has no drawing template yet.";
}

std::string graph_svg(const Graph& graph, const GraphTemplateRegistry& graphs, bool* drawn) {
  if (const GraphDrawer* drawer = graphs.find(graph.template_path)) {
    if (drawn) *drawn = true;
    return (*drawer)(graph);
  }
  if (drawn) *drawn = false;
  const std::string text = html_escape(missing_graph_text(graph));
  return "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"640\" height=\"80\" "
         "viewBox=\"0 0 640 80\" role=\"img\" aria-label=\"" +
         text +
         "\"><rect x=\"0.5\" y=\"0.5\" width=\"639\" height=\"79\" fill=\"#fff\" "
         "stroke=\"#999\"/><text x=\"320\" y=\"45\" text-anchor=\"middle\" "
         "font-family=\"sans-serif\" font-size=\"14\">" +
         text + "</text></svg>";
}

std::unique_ptr<OutputDestination> make_graphics_folder_destination(
    const std::string& folder, const GraphTemplateRegistry& graphs, std::string& error) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec || !std::filesystem::is_directory(folder)) {
    error = "The graphics folder " + folder + " could not be created" +
            (ec ? ": " + ec.message() : std::string()) + ".";
    return nullptr;
  }
  return std::make_unique<GraphicsFolderDestination>(folder, graphs);
}

}  // namespace kav
