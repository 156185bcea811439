#include "widgets.h"

#include <utility>

namespace qcu::app {
namespace {

using nlohmann::json;

std::string textOf(const json& element, const char* key) {
  auto it = element.find(key);
  if (it == element.end() || it->is_null()) return {};
  if (!it->is_string()) throw AppError(std::string(key) + ": expected a string");
  return it->get<std::string>();
}

// Fixture values for a check box: 1, true or "1" is checked.
bool truthy(const json& value) {
  if (value.is_boolean()) return value.get<bool>();
  if (value.is_number()) return value.get<double>() != 0;
  if (value.is_string()) return value.get<std::string>() == "1";
  return false;
}

std::string valueText(const json& value) {
  if (value.is_null()) return {};
  if (value.is_string()) return value.get<std::string>();
  return value.dump();
}

AtkObject* accessible(GtkWidget* widget) {
  return gtk_widget_get_accessible(widget);
}

// The registry forgets an element when its widget goes, whoever destroys it.
void forget(GtkWidget*, gpointer id) {
  nodes().erase(*static_cast<std::string*>(id));
}

void deleteId(gpointer id, GClosure*) {
  delete static_cast<std::string*>(id);
}

struct PressTarget {
  std::string id;
  void (*pressed)(const std::string&);
};

void onClicked(GtkButton*, gpointer data) {
  auto* target = static_cast<PressTarget*>(data);
  target->pressed(target->id);
}

void deleteTarget(gpointer data, GClosure*) {
  delete static_cast<PressTarget*>(data);
}

// Options of a choice widget: "options": ["a", "b"], the first chosen.
void addOptions(GtkComboBoxText* combo, const json& element) {
  for (const json& option : element.value("options", json::array()))
    gtk_combo_box_text_append_text(combo, option.get<std::string>().c_str());
  gtk_combo_box_set_active(GTK_COMBO_BOX(combo), 0);
}

// The widgets of the accessibility tests: one of each kind a GTK window commonly holds.
bool makeOtherWidget(const std::string& role, const json& element, Node& node) {
  std::string title = textOf(element, "title");
  json value = element.value("value", json());
  if (role == "AXRadioButton") {
    node.widget = gtk_radio_button_new_with_label(nullptr, title.c_str());
  } else if (role == "AXToggle") {
    node.widget = gtk_toggle_button_new_with_label(title.c_str());
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(node.widget), truthy(value));
  } else if (role == "AXPopUpButton") {
    node.widget = gtk_combo_box_text_new();
    addOptions(GTK_COMBO_BOX_TEXT(node.widget), element);
  } else if (role == "AXComboBox") {
    node.widget = gtk_combo_box_text_new_with_entry();
    addOptions(GTK_COMBO_BOX_TEXT(node.widget), element);
  } else if (role == "AXSlider") {
    node.widget = gtk_scale_new_with_range(GTK_ORIENTATION_HORIZONTAL, 0, 100, 1);
    gtk_range_set_value(GTK_RANGE(node.widget), value.is_number() ? value.get<double>() : 0);
  } else if (role == "AXIncrementor") {
    node.widget = gtk_spin_button_new_with_range(0, 100, 1);
    gtk_spin_button_set_value(GTK_SPIN_BUTTON(node.widget),
                              value.is_number() ? value.get<double>() : 0);
  } else if (role == "AXProgressIndicator") {
    node.widget = gtk_progress_bar_new();
    gtk_progress_bar_set_fraction(GTK_PROGRESS_BAR(node.widget),
                                  value.is_number() ? value.get<double>() : 0);
  } else if (role == "AXLevelIndicator") {
    node.widget = gtk_level_bar_new_for_interval(0, 10);
    gtk_level_bar_set_value(GTK_LEVEL_BAR(node.widget),
                            value.is_number() ? value.get<double>() : 0);
  } else if (role == "AXTabGroup") {
    // Two pages, each a tab named after its label.
    node.widget = gtk_notebook_new();
    for (const char* page : {"First page", "Second page"}) {
      gtk_notebook_append_page(GTK_NOTEBOOK(node.widget), gtk_label_new(page), gtk_label_new(page));
    }
  } else if (role == "AXImage") {
    node.widget = gtk_image_new_from_icon_name("image-missing", GTK_ICON_SIZE_BUTTON);
  } else if (role == "AXSplitter") {
    node.widget = gtk_separator_new(GTK_ORIENTATION_HORIZONTAL);
  } else if (role == "AXMenuBar") {
    // A menu bar with one menu of one item.
    node.widget = gtk_menu_bar_new();
    GtkWidget* item = gtk_menu_item_new_with_label("File");
    GtkWidget* menu = gtk_menu_new();
    gtk_menu_shell_append(GTK_MENU_SHELL(menu), gtk_menu_item_new_with_label("Open"));
    gtk_menu_item_set_submenu(GTK_MENU_ITEM(item), menu);
    gtk_menu_shell_append(GTK_MENU_SHELL(node.widget), item);
  } else if (role == "AXToolbar") {
    node.widget = gtk_toolbar_new();
    gtk_toolbar_insert(GTK_TOOLBAR(node.widget), gtk_tool_button_new(nullptr, "Tool"), -1);
  } else if (role == "AXTable") {
    // One column of two rows.
    GtkListStore* store = gtk_list_store_new(1, G_TYPE_STRING);
    for (const char* row : {"First row", "Second row"})
      gtk_list_store_insert_with_values(store, nullptr, -1, 0, row, -1);
    node.widget = gtk_tree_view_new_with_model(GTK_TREE_MODEL(store));
    g_object_unref(store);
    gtk_tree_view_append_column(GTK_TREE_VIEW(node.widget),
                                gtk_tree_view_column_new_with_attributes(
                                    "Name", gtk_cell_renderer_text_new(), "text", 0, nullptr));
  } else {
    return false;
  }
  return true;
}

Node makeWidget(const std::string& role, const json& element) {
  Node node{role, nullptr, nullptr, nullptr};
  std::string title = textOf(element, "title");
  json value = element.value("value", json());
  if (role == "AXButton") {
    node.widget = gtk_button_new_with_label(title.c_str());
  } else if (role == "AXCheckBox") {
    node.widget = gtk_check_button_new_with_label(title.c_str());
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(node.widget), truthy(value));
  } else if (role == "AXTextField" || role == "AXSecureTextField") {
    node.widget = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(node.widget), valueText(value).c_str());
    std::string placeholder = textOf(element, "placeholder");
    if (!placeholder.empty()) {
      gtk_entry_set_placeholder_text(GTK_ENTRY(node.widget), placeholder.c_str());
    }
    if (role == "AXSecureTextField") {
      gtk_entry_set_visibility(GTK_ENTRY(node.widget), FALSE);
      gtk_entry_set_input_purpose(GTK_ENTRY(node.widget), GTK_INPUT_PURPOSE_PASSWORD);
    }
  } else if (role == "AXTextArea") {
    node.widget = gtk_text_view_new();
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(node.widget)),
                             valueText(value).c_str(), -1);
    node.outer = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(node.outer), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_AUTOMATIC);
    gtk_container_add(GTK_CONTAINER(node.outer), node.widget);
  } else if (role == "AXStaticText") {
    node.widget = gtk_label_new(value.is_null() ? title.c_str() : valueText(value).c_str());
  } else if (role == "AXGroup") {
    node.widget = node.box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 4);
  } else if (!makeOtherWidget(role, element, node)) {
    throw AppError("role " + role + " has no widget in the test application");
  }
  if (!node.outer) node.outer = node.widget;
  // Widgets whose accessible name is not their own label take the element's title.
  if (!title.empty() && role != "AXButton" && role != "AXCheckBox" && role != "AXRadioButton" &&
      role != "AXToggle") {
    atk_object_set_name(accessible(node.widget), title.c_str());
  }
  return node;
}

int unnamed = 0;

}  // namespace

std::map<std::string, Node>& nodes() {
  static std::map<std::string, Node> all;
  return all;
}

void buildNode(const json& element, GtkWidget* box, void (*pressed)(const std::string&)) {
  if (!element.is_object()) throw AppError("an element must be an object");
  std::string id = element.contains("id") ? textOf(element, "id") : "";
  if (id.empty()) id = "#" + std::to_string(++unnamed);
  if (nodes().count(id)) throw AppError("element " + id + " exists already");
  const json& children = element.value("children", json::array());
  std::string role = textOf(element, "role");
  if (role.empty()) role = children.empty() ? "AXStaticText" : "AXGroup";
  if (!children.empty() && role != "AXGroup") {
    throw AppError("element " + id + ": only an AXGroup holds children here");
  }

  Node node = makeWidget(role, element);
  AtkObject* object = accessible(node.widget);
  std::string identifier = textOf(element, "identifier");
  atk_object_set_accessible_id(object, (identifier.empty() ? id : identifier).c_str());
  gtk_widget_set_name(node.widget, id.c_str());
  if (std::string text = textOf(element, "description"); !text.empty()) {
    atk_object_set_description(object, text.c_str());
  }
  if (std::string help = textOf(element, "help"); !help.empty()) {
    gtk_widget_set_tooltip_text(node.widget, help.c_str());
  }
  if (auto size = element.find("size");
      size != element.end() && size->is_array() && size->size() == 2) {
    gtk_widget_set_size_request(node.outer, (*size)[0].get<int>(), (*size)[1].get<int>());
  }
  if (element.value("enabled", true) == false) gtk_widget_set_sensitive(node.widget, FALSE);
  if (GTK_IS_BUTTON(node.widget)) {
    g_signal_connect_data(node.widget, "clicked", G_CALLBACK(onClicked),
                          new PressTarget{id, pressed}, deleteTarget, GConnectFlags(0));
  }
  g_signal_connect_data(node.widget, "destroy", G_CALLBACK(forget), new std::string(id), deleteId,
                        GConnectFlags(0));
  gtk_box_pack_start(GTK_BOX(box), node.outer, role == "AXTextArea", role == "AXTextArea", 0);
  nodes()[id] = node;
  for (const json& child : children)
    buildNode(child, node.box, pressed);
  gtk_widget_show_all(node.outer);
  if (element.value("focused", false) == true) gtk_widget_grab_focus(node.widget);
}

const Node& findNode(const std::string& id) {
  auto it = nodes().find(id);
  if (it == nodes().end()) throw AppError("no element " + id);
  return it->second;
}

void removeNode(const std::string& id) {
  gtk_widget_destroy(findNode(id).outer);
}

void setAttribute(const std::string& id, const std::string& attribute, const json& value) {
  const Node& node = findNode(id);
  GtkWidget* w = node.widget;
  if (attribute == "AXEnabled") {
    gtk_widget_set_sensitive(w, truthy(value));
  } else if (attribute == "AXTitle") {
    if (GTK_IS_BUTTON(w)) {
      gtk_button_set_label(GTK_BUTTON(w), valueText(value).c_str());
    } else {
      atk_object_set_name(accessible(w), valueText(value).c_str());
    }
  } else if (attribute != "AXValue") {
    throw AppError("attribute " + attribute + " cannot be set here");
  } else if (GTK_IS_TOGGLE_BUTTON(w)) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w), truthy(value));
  } else if (GTK_IS_ENTRY(w)) {
    gtk_entry_set_text(GTK_ENTRY(w), valueText(value).c_str());
  } else if (GTK_IS_TEXT_VIEW(w)) {
    gtk_text_buffer_set_text(gtk_text_view_get_buffer(GTK_TEXT_VIEW(w)), valueText(value).c_str(),
                             -1);
  } else if (GTK_IS_LABEL(w)) {
    gtk_label_set_text(GTK_LABEL(w), valueText(value).c_str());
  } else {
    throw AppError("element " + id + " has no value to set");
  }
}

json describeNode(const std::string& id) {
  const Node& node = findNode(id);
  GtkWidget* w = node.widget;
  const char* name = atk_object_get_name(accessible(w));
  json out = {{"node", id},
              {"role", node.role},
              {"title", name ? name : ""},
              {"enabled", gtk_widget_is_sensitive(w) != FALSE},
              {"focused", gtk_widget_has_focus(w) != FALSE}};
  if (GTK_IS_TOGGLE_BUTTON(w)) {
    out["value"] = gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(w)) ? 1 : 0;
  } else if (GTK_IS_ENTRY(w)) {
    out["value"] = gtk_entry_get_text(GTK_ENTRY(w));
    const char* placeholder = gtk_entry_get_placeholder_text(GTK_ENTRY(w));
    if (placeholder) out["placeholder"] = placeholder;
  } else if (GTK_IS_TEXT_VIEW(w)) {
    GtkTextBuffer* buffer = gtk_text_view_get_buffer(GTK_TEXT_VIEW(w));
    GtkTextIter begin, end;
    gtk_text_buffer_get_bounds(buffer, &begin, &end);
    gchar* text = gtk_text_buffer_get_text(buffer, &begin, &end, FALSE);
    out["value"] = text;
    g_free(text);
    GtkAdjustment* adjustment = gtk_scrollable_get_vadjustment(GTK_SCROLLABLE(w));
    out["scroll"] = {
        {"value", gtk_adjustment_get_value(adjustment)},
        {"max", gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_page_size(adjustment)}};
  } else if (GTK_IS_LABEL(w)) {
    out["value"] = gtk_label_get_text(GTK_LABEL(w));
  }
  return out;
}

}  // namespace qcu::app
