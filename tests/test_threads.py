"""Concurrency: parsing, UI defaults, field building and generic subscription from many threads at once.

Every thread's results must equal the single-threaded results, no thread may raise, concurrent subscriptions of
one new key must all return the very same class, and a deadlock must fail the test instead of hanging it.
"""

import copy
import dataclasses
import sys
import threading
import traceback

import pytest

from conftest import SHARED_SERVICE_FORM, SharedCamera, SharedRecording, SharedService, SharedShade, unchanged
from nimbrel.quorvel.core.exceptions import QuorvelError
from nimbrel.quorvel.data.json_content import ConfigUntypedDict
from nimbrel.quorvel.data.list_content import ConfigList
from nimbrel.quorvel.data.optional_content import ConfigOptional
from nimbrel.quorvel.data.parse import from_defaults
from nimbrel.quorvel.data.record_content import ConfigData
from nimbrel.quorvel.data.serialize import build_field
from nimbrel.quorvel.data.union_content import ConfigUnion

THREADS = 8
LOOPS = 200
ROUNDS = 200
JOIN_TIMEOUT = 60.0


@pytest.fixture(autouse=True)
def frequent_thread_switches():
    """Let the interpreter switch threads far more often than usual, so that calls interleave finely."""
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    yield
    sys.setswitchinterval(interval)


def modified_service():
    return SharedService(
        cameras=ConfigList[SharedCamera]([SharedCamera(), SharedCamera(host="cam-2", port=8554, password="pw",
                                                                       shade=SharedShade.LIGHT)]),
        recording=ConfigOptional[SharedRecording](None),
        retention=ConfigUnion[int | SharedRecording](SharedRecording(directory="/srv", keep_days=90)),
        bitrates={"low": 1}, vendor=ConfigUntypedDict({"gain": [1, 2]}))


SERVICES = [SharedService(), modified_service()]


def single_threaded(service):
    """Everything one loop iteration computes, for comparison with the threads' results."""
    defaults = service.build_defaults()
    return {
        "defaults": defaults,
        "parsed": SharedService.from_defaults(defaults),
        "disk": service.serialize_to_disk_representation(),
        "root": service.build_root_defaults(),
        "form": SharedService.build_field_for_type(value=service, metadata=SHARED_SERVICE_FORM).model_dump(),
        "camera_field": build_field("camera", SharedCamera, {"default": service.cameras[0]}).model_dump(),
        "cameras": from_defaults(ConfigList[SharedCamera], defaults["cameras"]),
        "retention": from_defaults(ConfigUnion[int | SharedRecording], defaults["retention"]),
        "recording": from_defaults(ConfigOptional[SharedRecording], defaults["recording"]),
    }


def bad_codec_message():
    try:
        SharedService.from_defaults({"cameras": [{"content": {"shade": "purple"}}]})
    except QuorvelError as err:
        return str(err), str(err.__cause__)
    raise AssertionError("bad data parsed")


def run_threads(target):
    """Run ``target(index)`` on THREADS threads; return the tracebacks of those that raised."""
    errors = []

    def guarded(index):
        try:
            target(index)
        except BaseException:
            errors.append(traceback.format_exc())

    threads = [threading.Thread(target=guarded, args=(i,), daemon=True, name=f"quorvel-{i}") for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=JOIN_TIMEOUT)
    hung = [thread.name for thread in threads if thread.is_alive()]
    assert not hung, f"threads did not finish within {JOIN_TIMEOUT}s (deadlock?): {hung}"
    return errors


def test_concurrent_parsing_defaults_fields_and_subscriptions():
    expected = [single_threaded(service) for service in SERVICES]
    inputs = [copy.deepcopy(e["defaults"]) for e in expected]
    expected_error = bad_codec_message()
    shared = [type(f"SharedFresh{i}", (ConfigData,), {}) for i in range(LOOPS)]
    subscribed = [[None] * LOOPS for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS, timeout=JOIN_TIMEOUT)

    def work(index):
        barrier.wait()
        for i in range(LOOPS):
            which = (i + index) % 2
            service, want, data = SERVICES[which], expected[which], inputs[which]
            parsed = SharedService.from_defaults(data)
            assert parsed == want["parsed"] == service
            assert type(parsed.cameras) is ConfigList[SharedCamera]
            assert type(parsed.retention) is ConfigUnion[int | SharedRecording]
            assert parsed.build_defaults() == want["defaults"]
            assert service.build_defaults() == want["defaults"]
            assert service.serialize_to_disk_representation() == want["disk"]
            assert service.build_root_defaults() == want["root"]
            assert SharedService.load_root_defaults(want["root"]) == service
            assert SharedService.parse_from_disk_representation(want["disk"]) == service
            form = SharedService.build_field_for_type(value=service, metadata=SHARED_SERVICE_FORM)
            assert form.model_dump() == want["form"]
            camera_field = build_field("camera", SharedCamera, {"default": service.cameras[0]})
            assert camera_field.model_dump() == want["camera_field"]
            assert from_defaults(ConfigList[SharedCamera], data["cameras"]) == want["cameras"]
            assert from_defaults(ConfigUnion[int | SharedRecording], data["retention"]) == want["retention"]
            assert from_defaults(ConfigOptional[SharedRecording], data["recording"]) == want["recording"]
            if i % 10 == 0:
                assert bad_codec_message() == expected_error
            # the same new keys from every thread, and keys only this thread uses
            fresh = shared[i]
            aliases = (ConfigList[fresh], ConfigOptional[fresh], ConfigUnion[int | fresh])
            subscribed[index][i] = aliases
            assert [a.__origin__ for a in aliases] == [ConfigList, ConfigOptional, ConfigUnion]
            assert [a.__type_args__ for a in aliases] == [(fresh,), (fresh,), (int | fresh,)]
            own = dataclasses.make_dataclass(f"Own{index}x{i}", [("n", int, dataclasses.field(default=index))],
                                             bases=(ConfigData,))
            own_list = ConfigList[own]
            assert ConfigList[own] is own_list and own_list.__type_args__ == (own,)
            assert ConfigOptional[own] is ConfigOptional[own] and ConfigUnion[own | int] is ConfigUnion[own | int]
            parsed_own = from_defaults(own_list, [{"content": {"n": i}}, {"content": {}}])
            assert type(parsed_own) is own_list and list(parsed_own) == [own(n=i), own()]

    with unchanged(inputs):
        errors = run_threads(work)
    assert not errors, f"{len(errors)} thread(s) raised:\n" + "\n".join(errors[:3])
    for i, fresh in enumerate(shared):
        first = subscribed[0][i]
        assert first == (ConfigList[fresh], ConfigOptional[fresh], ConfigUnion[int | fresh])
        for index in range(1, THREADS):
            assert all(a is b for a, b in zip(subscribed[index][i], first)), (
                f"thread {index} got a different class for {fresh.__name__}")


@pytest.mark.parametrize("kind", ["list", "optional", "union"])
def test_simultaneous_subscriptions_of_a_new_key_return_one_class(kind):
    subscribe = {
        "list": lambda cls: ConfigList[cls],
        "optional": lambda cls: ConfigOptional[cls],
        "union": lambda cls: ConfigUnion[cls | int],
    }[kind]
    keys = [type(f"RoundFresh{r}", (ConfigData,), {}) for r in range(ROUNDS)]
    results = [[None] * ROUNDS for _ in range(THREADS)]
    barrier = threading.Barrier(THREADS, timeout=JOIN_TIMEOUT)

    def work(index):
        for r, cls in enumerate(keys):
            barrier.wait()  # every thread asks for the same brand-new key at the same moment
            results[index][r] = subscribe(cls)

    errors = run_threads(work)
    assert not errors, f"{len(errors)} thread(s) raised:\n" + "\n".join(errors[:3])
    for r, cls in enumerate(keys):
        got = {id(results[index][r]) for index in range(THREADS)}
        assert len(got) == 1, f"round {r}: {len(got)} different classes for one key"
        assert results[0][r] is subscribe(cls)
        assert results[0][r].__type_args__ == ((cls | int,) if kind == "union" else (cls,))
