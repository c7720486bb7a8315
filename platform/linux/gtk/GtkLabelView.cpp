#include "platform/linux/gtk/GtkLabelView.h"

#include <string>

namespace qv {
namespace {

PangoWeight pangoWeight(FontWeight weight) {
  switch (weight) {
    case FontWeight::regular:
      return PANGO_WEIGHT_NORMAL;
    case FontWeight::medium:
      return PANGO_WEIGHT_MEDIUM;
    case FontWeight::semibold:
      return PANGO_WEIGHT_SEMIBOLD;
    case FontWeight::bold:
      return PANGO_WEIGHT_BOLD;
  }
  return PANGO_WEIGHT_NORMAL;
}

}  // namespace

GtkLabelView::GtkLabelView() : GtkWidgetBase<TextLabel>(gtk_label_new("")), style_(widget_.get()) {
  GtkLabel* label = GTK_LABEL(widget_.get());
  gtk_label_set_wrap(label, FALSE);
  gtk_label_set_selectable(label, FALSE);
  gtk_label_set_yalign(label, 0.0f);
  gtk_label_set_xalign(label, 0.0f);
  style_.setRules(std::string("SELF { font-family: ") + interfaceFontFamilies + "; }");
}

void GtkLabelView::setText(const std::vector<TextRun>& runs) {
  std::string text;
  PangoAttrList* attributes = pango_attr_list_new();
  for (const TextRun& run : runs) {
    auto start = static_cast<guint>(text.size());
    text += run.text;
    auto end = static_cast<guint>(text.size());
    PangoAttribute* size =
        pango_attr_size_new_absolute(static_cast<int>(run.fontSize * PANGO_SCALE));
    size->start_index = start;
    size->end_index = end;
    pango_attr_list_insert(attributes, size);
    PangoAttribute* weight = pango_attr_weight_new(pangoWeight(run.weight));
    weight->start_index = start;
    weight->end_index = end;
    pango_attr_list_insert(attributes, weight);
  }
  pango_attr_list_insert(attributes, pango_attr_line_height_new(1.2));
  gtk_label_set_text(GTK_LABEL(widget_.get()), text.c_str());
  gtk_label_set_attributes(GTK_LABEL(widget_.get()), attributes);
  pango_attr_list_unref(attributes);
}

void GtkLabelView::setTextColor(const Color& color) {
  style_.setRules("SELF { color: " + cssColor(color) + "; font-family: " + interfaceFontFamilies +
                  "; }");
}

void GtkLabelView::setAlignment(TextAlignment alignment) {
  GtkLabel* label = GTK_LABEL(widget_.get());
  switch (alignment) {
    case TextAlignment::left:
      gtk_label_set_justify(label, GTK_JUSTIFY_LEFT);
      gtk_label_set_xalign(label, 0.0f);
      break;
    case TextAlignment::center:
      gtk_label_set_justify(label, GTK_JUSTIFY_CENTER);
      gtk_label_set_xalign(label, 0.5f);
      break;
    case TextAlignment::right:
      gtk_label_set_justify(label, GTK_JUSTIFY_RIGHT);
      gtk_label_set_xalign(label, 1.0f);
      break;
  }
}

}  // namespace qv
