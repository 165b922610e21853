"""Deep nesting never crashes: data, values, types and field models nested 100,000 levels deep.

Every operation on such input must end in RecursionError or a library error, or return a correct
result; never in a crash (a segfault, an abort, an overflow of the C stack) or a hang. The cases run in
a child interpreter, a group per child, so that a crash fails the group's test (naming the case it
happened in) instead of ending the session. The child prints one line per case: its name, then the
name of the exception it raised, or "ok" for a result its check accepts ("wrong" for any other
result), then the innermost exception of the chain it raised ("-" for a result), then the time it took.
"""

import subprocess
import sys
import textwrap

import pytest

TIMEOUT = 120  # seconds per child; every group takes a few at most

CHILD = textwrap.dedent('''
    import dataclasses
    import functools
    import sys
    import time
    import warnings
    from typing import Any

    from nimbrel.quorvel.core.naming import display_value
    from nimbrel.quorvel.data.check import check as find_problems
    from nimbrel.quorvel.data.content_core import build_defaults
    from nimbrel.quorvel.data.json_content import ConfigUntypedDict
    from nimbrel.quorvel.data.list_content import ConfigList
    from nimbrel.quorvel.data.optional_content import ConfigOptional
    from nimbrel.quorvel.data.parse import from_defaults
    from nimbrel.quorvel.data.record_content import ConfigData
    from nimbrel.quorvel.data.schema import json_schema
    from nimbrel.quorvel.data.serialize import build_field
    from nimbrel.quorvel.data.union_content import ConfigUnion
    from nimbrel.quorvel.fields.field_models import FieldData, FieldInteger, FieldList, FieldOptional, FieldUnion

    warnings.simplefilter("ignore")  # list[...] warns once per level
    DEPTH = 100_000


    class Level(dict):
        """One level of nested data. Its repr stays short: every level a failure passes through
        names the data it was given, which must not cost the repr of everything below it."""

        def __repr__(self):
            return "Level(...)"


    @dataclasses.dataclass
    class DeepOptionalNode(ConfigData):
        child: "ConfigOptional[DeepOptionalNode]" = None


    @dataclasses.dataclass
    class DeepUnionNode(ConfigData):
        child: "ConfigUnion[int | DeepUnionNode]" = None


    @dataclasses.dataclass
    class DeepMaybeNode(ConfigData):
        child: "DeepMaybeNode | None" = None


    @dataclasses.dataclass
    class DeepPlainUnionNode(ConfigData):
        child: "int | DeepPlainUnionNode" = 0


    @dataclasses.dataclass
    class DeepListNode(ConfigData):
        children: "ConfigList[DeepListNode]" = None


    @dataclasses.dataclass
    class DeepPlainListNode(ConfigData):
        children: "list[DeepPlainListNode]" = None


    @dataclasses.dataclass
    class DeepDirectNode(ConfigData):
        child: "DeepDirectNode" = None


    # Two recursive fields: once the first one fails, the second must not be tried all over again.
    @dataclasses.dataclass
    class DeepTreeNode(ConfigData):
        left: "ConfigOptional[DeepTreeNode]" = None
        right: "ConfigOptional[DeepTreeNode]" = None


    @dataclasses.dataclass
    class DeepMessageNode(ConfigData):
        child: "ConfigOptional[DeepMessageNode]" = None
        value: int = 0


    @dataclasses.dataclass
    class DeepFreeData(ConfigData):
        blob: ConfigUntypedDict = dataclasses.field(default_factory=ConfigUntypedDict)
        free: dict[str, Any] = dataclasses.field(default_factory=dict)


    CASES = {}


    def case(name, check):
        """Registers a case; `check` tells whether a result it returns is the correct one."""
        def register(run):
            CASES[name] = (run, check)
            return run
        return register


    def descend(value, step, depth=DEPTH):
        for _ in range(depth):
            value = step(value)
        return value


    def nested(inner, wrap, depth=DEPTH):
        for _ in range(depth):
            inner = wrap(inner)
        return inner


    # --- parsing: built-in containers ---------------------------------------------------------------------

    @functools.cache
    def nested_aliases(kind):
        alias, data = int, 1
        for _ in range(DEPTH):
            if kind == "list":
                alias, data = list[alias], [data]
            elif kind == "config_list":
                alias, data = ConfigList[alias], [data]
            elif kind == "tuple":
                alias, data = tuple[alias, ...], (data,)
            elif kind == "fixed_tuple":
                alias, data = tuple[alias], (data,)
            else:
                alias, data = dict[str, alias], {"k": data}
        return alias, data


    def parse_nested(kind):
        alias, data = nested_aliases(kind)
        return from_defaults(data=data, alias=alias)


    first_item = lambda value: value[0]

    case("parse-list-alias", lambda r: descend(r, first_item) == 1)(lambda: parse_nested("list"))
    case("parse-config-list-alias", lambda r: descend(r, first_item) == 1)(lambda: parse_nested("config_list"))
    case("parse-tuple-variadic", lambda r: descend(r, first_item) == 1)(lambda: parse_nested("tuple"))
    case("parse-tuple-fixed", lambda r: descend(r, first_item) == 1)(lambda: parse_nested("fixed_tuple"))
    case("parse-dict-alias", lambda r: descend(r, lambda v: v["k"]) == 1)(lambda: parse_nested("dict"))


    @case("parse-record-dict-field", lambda r: descend(r.tree, lambda v: v["k"]) == 1)
    def parse_record_dict_field():
        alias, data = nested_aliases("dict")

        @dataclasses.dataclass
        class DeepHolder(ConfigData):
            tree: "Unresolved" = None  # no type hints: the field's own type below is used

        DeepHolder.__dataclass_fields__["tree"].type = alias
        return DeepHolder.from_defaults({"tree": data})


    @case("schema-record-dict-field", lambda r: r["$defs"]["deep_schema_holder"]["properties"]["tree"])
    def schema_record_dict_field():
        alias, _ = nested_aliases("dict")

        @dataclasses.dataclass
        class DeepSchemaHolder(ConfigData):
            tree: "Unresolved" = None  # no type hints: the field's own type below is used

        DeepSchemaHolder.__dataclass_fields__["tree"].type = alias
        return json_schema(DeepSchemaHolder)


    case("schema-config-list-alias", lambda r: r["type"] == "array")(
        lambda: json_schema(nested_aliases("config_list")[0]))
    case("schema-optional-record", lambda r: list(r["$defs"]) == ["deep_optional_node"])(
        lambda: json_schema(DeepOptionalNode))


    # --- parsing: recursive records -----------------------------------------------------------------------

    @functools.cache
    def optional_record_data():
        return nested({}, lambda d: {"child": Level(default=True, content=d)})


    through_optional_records = lambda r: descend(r, lambda v: v.child.content).child is None
    case("parse-optional-record", through_optional_records)(
        lambda: DeepOptionalNode.from_defaults(optional_record_data()))
    case("parse-disk-optional-record", through_optional_records)(
        lambda: DeepOptionalNode.parse_from_disk_representation(optional_record_data()))
    case("parse-root-optional-record", through_optional_records)(
        lambda: DeepOptionalNode.load_root_defaults({"deep_optional_node": optional_record_data()}))


    @case("parse-optional-record-10k",
          lambda r: descend(r, lambda v: v.child.content, 10_000).child is None)
    def parse_optional_record_10k():
        return DeepOptionalNode.from_defaults(
            nested({}, lambda d: {"child": Level(default=True, content=d)}, 10_000))


    @case("parse-union-record", lambda r: descend(r, lambda v: v.child.content).child.content == 1)
    def parse_union_record():
        innermost = {"child": Level(selection="int", int=1)}
        return DeepUnionNode.from_defaults(
            nested(innermost, lambda d: {"child": Level(selection="deep_union_node", deep_union_node=d)}))


    # The union's data must be exactly a dict, so this one nests plain dicts.
    @case("parse-plain-union-record", lambda r: descend(r, lambda v: v.child.content).child == 1)
    def parse_plain_union_record():
        selected = lambda d: {"child": {"selection": "deep_plain_union_node", "deep_plain_union_node": d}}
        return DeepPlainUnionNode.from_defaults(nested({"child": 1}, selected))


    @case("parse-none-union-record", lambda r: descend(r, lambda v: v.child.content).child is None)
    def parse_none_union_record():
        return DeepMaybeNode.from_defaults(nested(Level(), lambda d: Level(child=d)))


    @case("parse-config-list-record", lambda r: descend(r, lambda v: v.children[0]).children is None)
    def parse_config_list_record():
        return DeepListNode.from_defaults(nested(Level(), lambda d: Level(children=[{"content": d}])))


    @case("parse-list-record", lambda r: descend(r, lambda v: v.children[0]).children is None)
    def parse_list_record():
        return DeepPlainListNode.from_defaults(nested(Level(), lambda d: Level(children=[d])))


    @case("parse-direct-record", lambda r: descend(r, lambda v: v.child).child is None)
    def parse_direct_record():
        return DeepDirectNode.from_defaults(nested(Level(), lambda d: Level(child=d)))


    # --- free JSON objects holding deep plain data --------------------------------------------------------

    @functools.cache
    def deep_json():
        return nested(1, lambda d: {"k": [d]})


    def holds_deep_json(mapping):
        return mapping["k"] is deep_json()["k"]


    def deep_free_data():
        return DeepFreeData(blob=ConfigUntypedDict(deep_json()), free=dict(deep_json()))


    def free_data_defaults(defaults):
        return holds_deep_json(defaults["blob"]) and holds_deep_json(defaults["free"])


    def copies_deep_json(mapping):
        """Whether `mapping` holds every level of deep_json(), as the objects themselves or as copies."""
        return descend(mapping["k"], lambda v: v[0]["k"], DEPTH - 1) == [1]


    def json_field(field):
        return type(field).__name__ == "FieldJsonText" and copies_deep_json(field.default)


    case("parse-untyped-dict", lambda r: type(r) is ConfigUntypedDict and holds_deep_json(r))(
        lambda: from_defaults(data=deep_json(), alias=ConfigUntypedDict))
    case("parse-bare-dict", lambda r: type(r) is ConfigUntypedDict and holds_deep_json(r))(
        lambda: from_defaults(data=deep_json(), alias=dict))
    case("parse-dict-any", lambda r: type(r) is dict and holds_deep_json(r))(
        lambda: from_defaults(data=deep_json(), alias=dict[str, Any]))
    case("parse-record-free-fields", lambda r: holds_deep_json(r.blob) and holds_deep_json(r.free))(
        lambda: DeepFreeData.from_defaults({"blob": deep_json(), "free": deep_json()}))
    case("defaults-untyped-dict", holds_deep_json)(lambda: ConfigUntypedDict(deep_json()).build_defaults())
    case("root-untyped-dict", lambda r: holds_deep_json(r["config_untyped_dict"]))(
        lambda: ConfigUntypedDict(deep_json()).build_root_defaults())
    case("disk-untyped-dict", holds_deep_json)(
        lambda: ConfigUntypedDict(deep_json()).serialize_to_disk_representation())
    case("defaults-record-free-fields", free_data_defaults)(lambda: deep_free_data().build_defaults())
    case("root-record-free-fields", lambda r: free_data_defaults(r["deep_free_data"]))(
        lambda: deep_free_data().build_root_defaults())
    case("disk-record-free-fields", free_data_defaults)(lambda: deep_free_data().serialize_to_disk_representation())
    case("module-defaults-record-free-fields", free_data_defaults)(lambda: build_defaults(deep_free_data()))
    case("field-untyped-dict-value", json_field)(
        lambda: ConfigUntypedDict.build_field_for_type(value=ConfigUntypedDict(deep_json())))
    case("field-record-free-fields", lambda r: all(json_field(child) for child in r.fields))(
        lambda: DeepFreeData.build_field_for_type(value=deep_free_data()))
    case("field-list-of-untyped-dicts", lambda r: holds_deep_json(r.default[0]["content"]))(
        lambda: ConfigList[ConfigUntypedDict].build_field_for_type(
            value=ConfigList[ConfigUntypedDict]([ConfigUntypedDict(deep_json())])))


    # --- values nested 100,000 deep: defaults, disk and root representations, fields --------------------

    @functools.cache
    def deep_value(kind):
        if kind == "optional":
            return nested(DeepOptionalNode(), lambda v: DeepOptionalNode(child=ConfigOptional[DeepOptionalNode](v)))
        if kind == "union":
            innermost = DeepUnionNode(child=ConfigUnion[int | DeepUnionNode](1))
            return nested(innermost, lambda v: DeepUnionNode(child=ConfigUnion[int | DeepUnionNode](v)))
        if kind == "list":
            innermost = DeepListNode(children=ConfigList[DeepListNode]())
            return nested(innermost, lambda v: DeepListNode(children=ConfigList[DeepListNode]([v])))
        return nested(ConfigList[int]([1]), lambda v: ConfigList[int]([v]))  # lists of lists, built directly


    def through_defaults(kind):
        """Whether UI defaults (or disk data) are the value's, level by level."""
        if kind == "optional":
            return lambda d: descend(d, lambda v: v["child"]["content"]) == {"child": None}
        if kind == "union":
            step = lambda v: v["child"]["deep_union_node"]
            return lambda d: descend(d, step) == {"child": {"selection": "int", "int": 1}}
        if kind == "list":
            return lambda d: descend(d, lambda v: v["children"][0]["content"]) == {"children": []}
        return lambda d: descend(d, lambda v: v[0]["content"]) == [{"content": 1}]


    def field_levels(field):
        """How many nested fields deep the active children of a field go."""
        levels = 0
        while children := field.get_children():
            field, levels = children[-1], levels + 1
        return levels


    def through_field(kind):
        """Whether the field holds every level of the value: as nested fields, or for a list of lists
        (whose one item field holds no value) as its default."""
        if kind == "config_list":
            return lambda field: through_defaults(kind)(field.default)
        return lambda field: field_levels(field) >= DEPTH


    for kind in ("optional", "union", "list", "config_list"):
        defaults = through_defaults(kind)
        case(f"defaults-{kind}-value", defaults)(lambda kind=kind: deep_value(kind).build_defaults())
        case(f"disk-{kind}-value", defaults)(lambda kind=kind: deep_value(kind).serialize_to_disk_representation())
        case(f"root-{kind}-value", lambda r, defaults=defaults: len(r) == 1 and defaults(*r.values()))(
            lambda kind=kind: deep_value(kind).build_root_defaults())
        case(f"module-defaults-{kind}-value", defaults)(lambda kind=kind: build_defaults(deep_value(kind)))
        case(f"field-{kind}-value", through_field(kind))(
            lambda kind=kind: type(deep_value(kind)).build_field_for_type(value=deep_value(kind)))
        case(f"build-field-{kind}-value", through_field(kind))(
            lambda kind=kind: build_field("deep", type(deep_value(kind)), {"default": deep_value(kind)}))


    # --- field building for types that contain themselves -------------------------------------------------

    # A field is built for every level of the type, and the type has no last level: only an error is correct.
    never = lambda result: False

    case("field-type-optional-record", never)(lambda: DeepOptionalNode.build_field_for_type())
    case("field-type-union-record", never)(lambda: DeepUnionNode.build_field_for_type())
    case("field-type-none-union-record", never)(lambda: DeepMaybeNode.build_field_for_type())
    case("field-type-config-list-record", never)(lambda: DeepListNode.build_field_for_type())
    case("field-type-list-record", never)(lambda: DeepPlainListNode.build_field_for_type())
    case("field-type-direct-record", never)(lambda: DeepDirectNode.build_field_for_type())
    case("field-type-two-recursive-fields", never)(lambda: DeepTreeNode.build_field_for_type())
    case("build-field-optional-record", never)(lambda: build_field("node", DeepOptionalNode))
    case("build-field-optional-alias", never)(lambda: build_field("node", ConfigOptional[DeepOptionalNode]))
    case("build-field-union-alias", never)(lambda: build_field("node", ConfigUnion[int | DeepUnionNode]))
    case("build-field-config-list-alias", never)(lambda: build_field("nodes", ConfigList[DeepListNode]))


    # --- checks of values and annotations nested 100,000 deep -------------------------------------------------

    def self_containing_list():
        cycle = ConfigList[ConfigList]()
        cycle.append(cycle)
        return cycle


    for kind in ("optional", "union", "list"):
        case(f"check-{kind}-value", never)(lambda kind=kind: find_problems(deep_value(kind)))
    # Each level holds a list where an int is due: the outermost one is the only problem, and nothing below it
    # is looked into.
    case("check-config-list-value", lambda r: [p.location for p in r] == [(0, "content")])(
        lambda: find_problems(deep_value("config_list")))
    case("check-none-union-value", never)(
        lambda: find_problems(nested(DeepMaybeNode(), lambda v: DeepMaybeNode(child=v))))
    case("check-direct-value", never)(
        lambda: find_problems(nested(DeepDirectNode(), lambda v: DeepDirectNode(child=v))))
    case("check-self-containing-list", never)(lambda: find_problems(self_containing_list()))
    case("check-deep-annotation", never)(lambda: find_problems(nested_aliases("config_list")[0]()))


    # --- dumping field models nested 100,000 deep ---------------------------------------------------------

    @functools.cache
    def deep_field_tree():
        """Every nested field kind in turn, built directly as field models."""
        field = FieldInteger(name="leaf")
        for level in range(DEPTH):
            if level % 4 == 0:
                field = FieldData(name="data", fields=[field])
            elif level % 4 == 1:
                field = FieldOptional(name="optional", fields=[field], default=True)
            elif level % 4 == 2:
                field = FieldUnion(name="union", fields=[field], default=field.name)
            else:
                field = FieldList(name="list", fields=[field], default=[])
        return field


    dumped_every_level = lambda r: descend(r, lambda v: v["fields"][0])["name"] == "leaf"
    case("dump-tree", dumped_every_level)(lambda: deep_field_tree().model_dump())
    case("dump-tree-json-mode", dumped_every_level)(lambda: deep_field_tree().model_dump(mode="json"))
    # pydantic dumps the children through the declared BaseField: one level of them, as JSON text.
    case("dump-tree-json-text", lambda r: isinstance(r, str) and r.startswith("{"))(
        lambda: deep_field_tree().model_dump_json())
    case("dump-tree-children", lambda r: len(r) == 1)(lambda: deep_field_tree().get_children())
    json_dumped = lambda r: copies_deep_json(r["default"])
    case("dump-json-field", json_dumped)(
        lambda: ConfigUntypedDict.build_field_for_type(value=ConfigUntypedDict(deep_json())).model_dump())
    case("dump-json-field-json-mode", json_dumped)(
        lambda: ConfigUntypedDict.build_field_for_type(value=ConfigUntypedDict(deep_json())).model_dump(mode="json"))
    case("dump-json-field-json-text", lambda r: isinstance(r, str))(
        lambda: ConfigUntypedDict.build_field_for_type(value=ConfigUntypedDict(deep_json())).model_dump_json())


    # --- messages --------------------------------------------------------------------------------------------

    # Plain dicts: a failure is wrapped once per record level it passes through, and every wrapper shows
    # the data of its level, which holds all the levels below. With whole reprs this took longer than ten
    # minutes; only a bounded head of each value keeps it cheap.
    @case("parse-plain-dicts-10k-wrong-innermost", never)
    def parse_plain_dicts_10k_wrong_innermost():
        data = nested({"value": {"wrong": 1}}, lambda d: {"child": {"default": True, "content": d}}, 10_000)
        return DeepMessageNode.from_defaults(data)


    shows_head = lambda unit: lambda r: r == (unit * 25)[:25] + " (truncated)"
    case("display-deep-list", shows_head("["))(lambda: display_value(nested(1, lambda d: [d])))
    case("display-deep-tuple", shows_head("("))(lambda: display_value(nested(1, lambda d: (d,))))
    case("display-deep-dict", shows_head("{'k': "))(lambda: display_value(nested(1, lambda d: {"k": d})))
    case("display-deep-list-unbounded", never)(lambda: display_value(nested(1, lambda d: [d]), 10**9))


    def innermost(error):
        """The exception at the bottom of the chain of causes and contexts."""
        seen = {id(error)}
        while (below := error.__cause__ or error.__context__) is not None and id(below) not in seen:
            error = below
            seen.add(id(error))
        return error


    for name in sys.argv[1:]:
        run, check = CASES[name]
        start = time.perf_counter()
        try:
            result = run()
        except BaseException as error:
            outcome, root = type(error).__name__, type(innermost(error)).__name__
        else:
            outcome, root = "ok" if check(result) else "wrong", "-"
        print(name, outcome, root, f"{time.perf_counter() - start:.2f}s", flush=True)
        result = error = None
''')


def run_cases(cases):
    """Runs the cases in one child; returns {case: (outcome, innermost exception)} and the child's output,
    failing when the child crashed or hung."""
    try:
        done = subprocess.run([sys.executable, "-c", CHILD, *cases], capture_output=True, text=True,
                              timeout=TIMEOUT)
    except subprocess.TimeoutExpired as expired:
        output = expired.stdout.decode() if isinstance(expired.stdout, bytes) else expired.stdout or ""
        pytest.fail(f"no answer within {TIMEOUT}s from case {cases[len(output.splitlines())]}:\n{output}")
    outcomes = {name: (outcome, root) for name, outcome, root, _ in map(str.split, done.stdout.splitlines())}
    if done.returncode != 0 or len(outcomes) != len(cases):
        crashed = cases[len(outcomes)] if len(outcomes) < len(cases) else "(after the last case)"
        pytest.fail(f"child ended with {done.returncode} in case {crashed}:\n{done.stdout}\n{done.stderr[-3000:]}")
    return outcomes, done.stdout


def clean(outcome):
    return outcome in ("ok", "RecursionError") or outcome.startswith("Quorvel")


PARSING = [
    "parse-list-alias", "parse-tuple-variadic", "parse-tuple-fixed", "parse-dict-alias", "parse-record-dict-field",
    "schema-record-dict-field",
]
RECORDS = [
    "parse-optional-record", "parse-disk-optional-record", "parse-root-optional-record", "parse-optional-record-10k",
    "parse-union-record", "parse-plain-union-record", "parse-none-union-record", "parse-config-list-record",
    "parse-list-record", "parse-direct-record",
]
FREE_JSON = [
    "parse-untyped-dict", "parse-bare-dict", "parse-dict-any", "parse-record-free-fields", "defaults-untyped-dict",
    "root-untyped-dict", "disk-untyped-dict", "defaults-record-free-fields", "root-record-free-fields",
    "disk-record-free-fields", "module-defaults-record-free-fields", "field-untyped-dict-value",
    "field-record-free-fields", "field-list-of-untyped-dicts",
]
RECURSIVE_TYPES = [
    "field-type-optional-record", "field-type-union-record", "field-type-none-union-record",
    "field-type-config-list-record", "field-type-list-record", "field-type-direct-record",
    "field-type-two-recursive-fields", "build-field-optional-record", "build-field-optional-alias",
    "build-field-union-alias", "build-field-config-list-alias", "schema-optional-record",
]


def value_cases(kind):
    return [f"{step}-{kind}-value" for step in ("defaults", "disk", "root", "module-defaults", "field", "build-field")]


@pytest.mark.parametrize("cases", [
    pytest.param(PARSING, id="parse-containers"),
    # Building its aliases takes a few seconds, so it has a child of its own.
    pytest.param(["parse-config-list-alias", "schema-config-list-alias"], id="parse-config-list"),
    pytest.param(RECORDS, id="parse-records"),
    pytest.param(FREE_JSON, id="free-json"),
    pytest.param(value_cases("optional"), id="optional-values"),
    pytest.param(value_cases("union"), id="union-values"),
    pytest.param(value_cases("list") + value_cases("config_list"), id="list-values"),
    pytest.param(RECURSIVE_TYPES, id="recursive-types"),
])
def test_deep_nesting_ends_cleanly(cases):
    outcomes, output = run_cases(cases)
    assert all(clean(outcome) for outcome, _ in outcomes.values()), output
    if cases == RECORDS:
        # Once the stack runs out, every level that wraps the failure keeps it: the chain ends in the
        # RecursionError.
        assert all(root == "RecursionError" for outcome, root in outcomes.values() if outcome != "ok"), output


def test_deep_field_models_dump_without_crashing():
    # Whatever pydantic makes of such a tree (its own errors included) is accepted: only a crash,
    # a hang or a wrong result fails.
    cases = ["dump-tree", "dump-tree-json-mode", "dump-tree-json-text", "dump-tree-children", "dump-json-field",
             "dump-json-field-json-mode", "dump-json-field-json-text"]
    outcomes, output = run_cases(cases)
    assert all(outcome != "wrong" for outcome, _ in outcomes.values()), output


def test_deep_messages_stay_cheap():
    # The plain-dict case is what bounded value displays are for: within the child's time limit only
    # because each wrapping level shows the head of its data, not the repr of all the data below it.
    cases = ["parse-plain-dicts-10k-wrong-innermost", "display-deep-list", "display-deep-tuple",
             "display-deep-dict", "display-deep-list-unbounded"]
    outcomes, output = run_cases(cases)
    assert all(clean(outcome) for outcome, _ in outcomes.values()), output
