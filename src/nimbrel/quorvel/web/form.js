// Renders a quorvel form description (the dump of `build_field_for_type(value=...)`)
// as an editable form, and collects the UI defaults that `from_defaults` takes.
//
// Every field becomes a node: { element, value(), place(pointer, label), check(problems) }.
// Nodes are built from data (falling back to the defaults in the description), and
// `place` names them after their JSON Pointer in the UI defaults. Placing is kept apart
// from building so that list rows can be renumbered in place after a move or removal,
// without losing what was typed into fields that are not shown at the moment.

let lastId = 0;

function uniqueId() {
  lastId += 1;
  return `quorvel-${lastId}`;
}

function pointerSegment(name) {
  return String(name).replaceAll("~", "~0").replaceAll("/", "~1");
}

function childPointer(pointer, name) {
  return `${pointer}/${pointerSegment(name)}`;
}

// "/a/b" -> "/a" -> ""; anything without a slash goes straight to the root.
function parentPointer(pointer) {
  return pointer.slice(0, Math.max(pointer.lastIndexOf("/"), 0));
}

function createElement(tag, attributes = {}, children = []) {
  const element = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    element.setAttribute(name, value);
  }
  element.append(...children);
  return element;
}

function button(text, onClick) {
  const control = createElement("button", { type: "button", class: "quorvel-button" }, [text]);
  control.addEventListener("click", onClick);
  return control;
}

// A field's display name; list items, optional content and the like have none and
// borrow one from the field around them.
function fieldLabel(field, fallback) {
  return field.display_name || fallback || field.name;
}

function dataOr(data, fallback) {
  return data === undefined ? fallback : data;
}

// The description and the error element every field has, and the ids a control
// or group refers to with aria-describedby.
function fieldNotes(field) {
  const error = createElement("div", { class: "quorvel-error", id: uniqueId(), "aria-live": "polite" });
  const elements = [error];
  if (field.description) {
    elements.unshift(createElement("p", { class: "quorvel-description", id: uniqueId() }, [field.description]));
  }
  return { error, elements, describedBy: elements.map((element) => element.id).join(" ") };
}

// Content that can be switched off (a disabled optional, an unselected union variant).
// A disabled fieldset keeps its controls out of the browser's own validation and out
// of any form submission, without touching the controls' own disabled state.
function switchable(node) {
  return createElement("fieldset", { class: "quorvel-switchable", role: "none" }, [node.element]);
}

function setShown(holder, shown) {
  holder.hidden = !shown;
  holder.disabled = !shown;
}

// --- Leaves ---------------------------------------------------------------------

function textInput(attributes) {
  return (field, value) => {
    const control = createElement("input", attributes);
    control.value = value ?? "";
    return control;
  };
}

function textArea(field, value) {
  const control = createElement("textarea", { rows: "4" });
  control.value = value ?? "";
  return control;
}

function numberInput(step) {
  return (field, value) => {
    const control = createElement("input", { type: "number", step });
    for (const bound of ["min", "max"]) {
      if (field[bound] !== null && field[bound] !== undefined) {
        control.setAttribute(bound, field[bound]);
      }
    }
    control.value = value ?? "";
    return control;
  };
}

function checkbox(field, value) {
  const control = createElement("input", { type: "checkbox" });
  control.checked = Boolean(value);
  return control;
}

// Options are told apart by position, so that an option value keeps its JSON type
// (an int stays a number) however the option element stores it.
function enumSelect(field, value) {
  const options = field.options.map((option) => createElement("option", { value: option.value }, [option.text]));
  const control = createElement("select", {}, options);
  control.selectedIndex = field.options.findIndex((option) => option.value === value);
  return control;
}

function jsonArea(field, value) {
  const control = createElement("textarea", { rows: "6", spellcheck: "false", class: "quorvel-json" });
  control.value = JSON.stringify(value, null, 2);
  return control;
}

function readText(control) {
  return control.value;
}

function readNumber(control) {
  return control.value === "" ? null : Number(control.value);
}

function readEnum(control, field) {
  return control.selectedIndex < 0 ? null : field.options[control.selectedIndex].value;
}

// Text that is not JSON is passed on as it is, so that a submission without
// validate() is refused by the server at this field's pointer.
function readJson(control) {
  try {
    return JSON.parse(control.value);
  } catch {
    return control.value;
  }
}

function checkNumber(control, field) {
  if (control.validity.badInput || control.value.trim() === "") {
    return "Enter a number.";
  }
  const number = Number(control.value);
  if (field.type === "field_integer" && !Number.isInteger(number)) {
    return "Enter a whole number.";
  }
  if (field.min !== null && field.min !== undefined && number < field.min) {
    return `Enter a number no smaller than ${field.min}.`;
  }
  if (field.max !== null && field.max !== undefined && number > field.max) {
    return `Enter a number no larger than ${field.max}.`;
  }
  return null;
}

function checkJson(control) {
  let parsed;
  try {
    parsed = JSON.parse(control.value);
  } catch (error) {
    return `Enter valid JSON: ${error.message}`;
  }
  const isObject = parsed !== null && typeof parsed === "object" && !Array.isArray(parsed);
  return isObject ? null : 'Enter a JSON object, such as {"key": "value"}.';
}

const LEAVES = {
  field_string: { create: textInput({ type: "text" }), read: readText },
  // A configured password is never the user's own: keep the browser from filling one in.
  field_password: { create: textInput({ type: "password", autocomplete: "new-password" }), read: readText },
  field_text_area: { create: textArea, read: readText },
  field_integer: { create: numberInput("1"), read: readNumber, check: checkNumber },
  field_float: { create: numberInput("any"), read: readNumber, check: checkNumber },
  field_bool: { create: checkbox, read: (control) => control.checked, labelAfter: true },
  field_enum: { create: enumSelect, read: readEnum },
  field_json_text: { create: jsonArea, read: readJson, check: checkJson },
};

function renderLeaf(kind, field, data) {
  const control = kind.create(field, dataOr(data, field.default));
  control.id = uniqueId();
  const label = createElement("label", { for: control.id });
  const notes = fieldNotes(field);
  control.setAttribute("aria-describedby", notes.describedBy);
  const parts = kind.labelAfter ? [control, label] : [label, control];
  const element = createElement("div", { class: `quorvel-field quorvel-${field.type}` }, [
    ...parts,
    ...notes.elements,
  ]);
  return {
    element,
    value: () => kind.read(control, field),
    place(pointer, fallbackLabel) {
      control.name = pointer;
      notes.error.dataset.errorFor = pointer;
      label.textContent = fieldLabel(field, fallbackLabel);
    },
    check(problems) {
      const message = kind.check?.(control, field);
      if (message) {
        problems.push({ pointer: control.name, message });
      }
    },
  };
}

// A kind this renderer does not know: shown, not editable, and its value passed on.
function renderUnknown(field, data) {
  const value = dataOr(data, field.default);
  const note = createElement("p", { class: "quorvel-unsupported" });
  const notes = fieldNotes(field);
  const element = createElement("div", { class: "quorvel-field quorvel-unknown" }, [note, ...notes.elements]);
  return {
    element,
    value: () => value,
    place(pointer, fallbackLabel) {
      notes.error.dataset.errorFor = pointer;
      const label = fieldLabel(field, fallbackLabel);
      note.textContent = `${label}: fields of type "${field.type}" cannot be edited here; the current value is kept.`;
    },
    check() {},
  };
}

// --- Groups ---------------------------------------------------------------------

function groupFrame(field, kind) {
  const legend = createElement("legend");
  const notes = fieldNotes(field);
  const attributes = { class: `quorvel-group quorvel-${kind}`, "aria-describedby": notes.describedBy };
  const element = createElement("fieldset", attributes, [legend, ...notes.elements]);
  return {
    element,
    place(pointer, label) {
      legend.textContent = label;
      notes.error.dataset.errorFor = pointer;
    },
  };
}

function renderRecord(field, data) {
  const frame = groupFrame(field, "record");
  const children = field.fields.map((child) => ({ child, node: renderField(child, data?.[child.name]) }));
  frame.element.append(...children.map(({ node }) => node.element));
  return {
    element: frame.element,
    value: () => Object.fromEntries(children.map(({ child, node }) => [child.name, node.value()])),
    place(pointer, fallbackLabel) {
      frame.place(pointer, fieldLabel(field, fallbackLabel));
      for (const { child, node } of children) {
        node.place(childPointer(pointer, child.name), child.name);
      }
    },
    check(problems) {
      children.forEach(({ node }) => node.check(problems));
    },
  };
}

function renderOptional(field, data) {
  const frame = groupFrame(field, "optional");
  const toggle = createElement("input", { type: "checkbox", id: uniqueId() });
  toggle.checked = Boolean(dataOr(data?.default, field.default));
  const toggleLabel = createElement("label", { for: toggle.id });
  const content = renderField(field.fields[0], data?.content);
  const holder = switchable(content);
  setShown(holder, toggle.checked);
  toggle.addEventListener("change", () => setShown(holder, toggle.checked));
  frame.element.append(createElement("div", { class: "quorvel-toggle" }, [toggle, toggleLabel]), holder);
  return {
    element: frame.element,
    value: () => (toggle.checked ? { default: true, content: content.value() } : { default: false }),
    place(pointer, fallbackLabel) {
      const label = fieldLabel(field, fallbackLabel);
      frame.place(pointer, label);
      toggle.name = childPointer(pointer, "default");
      toggleLabel.textContent = `Enable ${label}`;
      content.place(childPointer(pointer, "content"), label);
    },
    check(problems) {
      if (toggle.checked) {
        content.check(problems);
      }
    },
  };
}

function renderUnion(field, data) {
  const frame = groupFrame(field, "union");
  const selection = dataOr(data?.selection, field.default);
  const variants = field.fields.map((variant) => {
    const node = renderField(variant, variant.name === selection ? data?.[variant.name] : undefined);
    return { variant, node, holder: switchable(node) };
  });
  const options = variants.map(({ variant }) =>
    createElement("option", { value: variant.name }, [variant.display_name || variant.name]),
  );
  const select = createElement("select", { id: uniqueId() }, options);
  // A new list row's union has no selection yet: it starts on the first variant.
  select.selectedIndex = Math.max(
    variants.findIndex(({ variant }) => variant.name === selection),
    0,
  );
  const selected = () => variants[select.selectedIndex];
  const showSelected = () => variants.forEach((entry) => setShown(entry.holder, entry === selected()));
  select.addEventListener("change", showSelected);
  showSelected();
  const selectLabel = createElement("label", { for: select.id }, ["Type"]);
  frame.element.append(
    createElement("div", { class: "quorvel-field quorvel-selector" }, [selectLabel, select]),
    ...variants.map(({ holder }) => holder),
  );
  return {
    element: frame.element,
    value: () => ({ selection: selected().variant.name, [selected().variant.name]: selected().node.value() }),
    place(pointer, fallbackLabel) {
      frame.place(pointer, fieldLabel(field, fallbackLabel));
      select.name = childPointer(pointer, "selection");
      for (const { variant, node } of variants) {
        node.place(childPointer(pointer, variant.name), variant.display_name || variant.name);
      }
    },
    check(problems) {
      selected().node.check(problems);
    },
  };
}

// Rows keep their nodes when they move; `place` renumbers names, labels, data
// attributes and the move controls' disabled state after every change.
function renderList(field, data) {
  const frame = groupFrame(field, "list");
  const template = field.fields[0];
  const rowList = createElement("ol", { class: "quorvel-rows" });
  const rows = [];
  let listPointer = "";
  let listLabel = "";

  function rowControls(row) {
    return {
      up: button("Move up", () => moveRow(row, -1)),
      down: button("Move down", () => moveRow(row, 1)),
      remove: button("Remove", () => removeRow(row)),
    };
  }

  function createRow(content) {
    const row = { node: renderField(template, content) };
    row.controls = rowControls(row);
    const { up, down, remove } = row.controls;
    row.element = createElement("li", { class: "quorvel-row" }, [
      row.node.element,
      createElement("div", { class: "quorvel-row-controls" }, [up, down, remove]),
    ]);
    return row;
  }

  function placeRow(row, index) {
    const rowPointer = childPointer(listPointer, index);
    const rowLabel = `${listLabel} ${index + 1}`;
    row.node.place(childPointer(rowPointer, "content"), rowLabel);
    const { up, down, remove } = row.controls;
    up.dataset.moveUp = down.dataset.moveDown = remove.dataset.remove = rowPointer;
    up.setAttribute("aria-label", `Move up ${rowLabel}`);
    down.setAttribute("aria-label", `Move down ${rowLabel}`);
    remove.setAttribute("aria-label", `Remove ${rowLabel}`);
    up.disabled = index === 0;
    down.disabled = index === rows.length - 1;
  }

  function placeRows() {
    rows.forEach(placeRow);
    addControl.dataset.add = listPointer;
    addControl.setAttribute("aria-label", `Add item to ${listLabel}`);
  }

  function addRow() {
    const row = createRow(undefined);
    rows.push(row);
    rowList.append(row.element);
    placeRows();
    row.element.querySelector("input, select, textarea")?.focus();
  }

  // Moving a row out of the document drops focus from its button; it is given back
  // to the same control, or to its twin when the row reached the end of the list.
  function moveRow(row, step) {
    const from = rows.indexOf(row);
    const to = from + step;
    rows.splice(from, 1);
    rows.splice(to, 0, row);
    rowList.insertBefore(row.element, rows[to + 1]?.element ?? null);
    placeRows();
    const { up, down } = row.controls;
    const [same, twin] = step < 0 ? [up, down] : [down, up];
    (same.disabled ? twin : same).focus();
  }

  // Focus goes to the row that took the removed one's place (or the new last row),
  // and to the add control once the list is empty.
  function removeRow(row) {
    const index = rows.indexOf(row);
    rows.splice(index, 1);
    row.element.remove();
    placeRows();
    (rows[Math.min(index, rows.length - 1)]?.controls.remove ?? addControl).focus();
  }

  const addControl = button("Add item", addRow);
  for (const row of dataOr(data, field.default)) {
    rows.push(createRow(row.content));
  }
  rowList.append(...rows.map((row) => row.element));
  frame.element.append(rowList, addControl);

  return {
    element: frame.element,
    value: () => rows.map((row) => ({ content: row.node.value() })),
    place(pointer, fallbackLabel) {
      listPointer = pointer;
      listLabel = fieldLabel(field, fallbackLabel);
      frame.place(pointer, listLabel);
      placeRows();
    },
    check(problems) {
      rows.forEach((row) => row.node.check(problems));
    },
  };
}

const GROUPS = {
  field_data: renderRecord,
  field_list: renderList,
  field_optional: renderOptional,
  field_union: renderUnion,
};

// `data` is this field's part of the UI defaults; where it is undefined (a new list
// row, an unselected variant) the defaults held in the description are shown.
function renderField(field, data) {
  if (field.type in GROUPS) {
    return GROUPS[field.type](field, data);
  }
  if (field.type in LEAVES) {
    return renderLeaf(LEAVES[field.type], field, data);
  }
  return renderUnknown(field, data);
}

// --- Errors -----------------------------------------------------------------------

function errorElements(element) {
  return [...element.querySelectorAll("[data-error-for]")];
}

// Errors inside switched-off content (a disabled optional, an unselected variant)
// would not be seen, so they go to the nearest shown ancestor like unknown pointers do.
function errorTarget(element, pointer) {
  const shown = new Map(
    errorElements(element)
      .filter((error) => !error.closest(".quorvel-switchable[hidden]"))
      .map((error) => [error.dataset.errorFor, error]),
  );
  for (let current = pointer; ; current = parentPointer(current)) {
    if (shown.has(current) || current === "") {
      return shown.get(current);
    }
  }
}

function controlsNamed(element, pointer) {
  return [...element.querySelectorAll("input, select, textarea")].filter((control) => control.name === pointer);
}

function clearErrors(element) {
  for (const error of errorElements(element)) {
    error.replaceChildren();
  }
  for (const control of element.querySelectorAll("[aria-invalid]")) {
    control.removeAttribute("aria-invalid");
  }
}

function showErrors(element, errors) {
  clearErrors(element);
  for (const { pointer, message } of errors) {
    const target = errorTarget(element, pointer ?? "");
    target?.append(createElement("p", {}, [message]));
    for (const control of controlsNamed(element, target?.dataset.errorFor)) {
      control.setAttribute("aria-invalid", "true");
    }
  }
}

// --- The form ---------------------------------------------------------------------

// Inside a <form>, validate() runs before every submit. The browser's own checks
// (number ranges) are turned into the same inline errors instead of its tooltips.
function guardSubmit(element, root, validate) {
  const form = element.closest("form");
  if (!form) {
    return;
  }
  // A later renderForm into the same element leaves these listeners idle.
  const current = () => element.contains(root.element);
  form.addEventListener(
    "submit",
    (event) => {
      if (current() && !validate()) {
        event.preventDefault();
        event.stopImmediatePropagation();
      }
    },
    true,
  );
  element.addEventListener(
    "invalid",
    (event) => {
      if (current()) {
        event.preventDefault();
        validate();
      }
    },
    true,
  );
}

/**
 * Renders the form description `form` into `element` and returns its controller:
 * value() collects the UI defaults, showErrors([{pointer, message}]) shows errors
 * beside their fields (replacing those shown before), clearErrors() removes them,
 * and validate() checks what the browser can and shows the problems it finds.
 */
export function renderForm(element, form) {
  const root = renderField(form, undefined);
  root.place("", "");
  element.replaceChildren(root.element);

  function validate() {
    const problems = [];
    root.check(problems);
    showErrors(element, problems);
    if (problems.length > 0) {
      controlsNamed(element, problems[0].pointer)[0]?.focus();
    }
    return problems.length === 0;
  }

  guardSubmit(element, root, validate);
  return {
    value: () => root.value(),
    showErrors: (errors) => showErrors(element, errors),
    clearErrors: () => clearErrors(element),
    validate,
  };
}
