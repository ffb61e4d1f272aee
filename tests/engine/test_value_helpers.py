"""toString, toString2, myDecode and nvl."""
import pytest

CHINESE = "螺纹钢"
GB = CHINESE.encode("gb18030")


class Bytes(bytes):
    def decode(self, *args, **kwargs):  # the bytes type's own decode is used, not this
        return "overridden"


def test_to_string_text_forms(brindle):
    assert brindle.toString(3) == "3"
    assert brindle.toString(2.5) == "2.5"
    assert brindle.toString(True) == "True"
    assert brindle.toString(GB) == CHINESE
    assert brindle.toString(Bytes(GB)) == CHINESE
    # invalid sequences are dropped, not replaced
    assert brindle.toString(b"A\xffB" + GB) == "AB" + CHINESE


def test_to_string_returns_other_objects_themselves(brindle):
    text, items, mapping = "abc", [1], {"k": 1}
    assert brindle.toString(None) is None
    assert brindle.toString(text) is text
    assert brindle.toString(items) is items
    assert brindle.toString(mapping) is mapping
    assert brindle.myDecode(items) is items
    assert brindle.myDecode(GB + b"\xff") == CHINESE


def test_to_string2_sql_literal_forms(brindle):
    assert brindle.toString2("abc") == "'abc'"
    assert brindle.toString2(b"abc") == "'abc'"
    assert brindle.toString2("it's") == "'it's'"
    assert brindle.toString2(None) == "None"
    assert brindle.toString2(7) == "7"
    assert brindle.toString2(1.5) == "1.5"
    assert brindle.toString2(GB) == "'%s'" % CHINESE


def test_helpers_let_errors_through(brindle):
    class Unprintable:
        def __str__(self):
            raise ValueError("no text")

    with pytest.raises(ValueError, match="no text"):
        brindle.toString2(Unprintable())


@pytest.mark.parametrize("helper", ["toString", "toString2", "myDecode"])
def test_one_argument_helpers_are_positional_only(brindle, helper):
    function = getattr(brindle, helper)
    with pytest.raises(TypeError, match="positional-only"):
        function(val=3)
    with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'val'"):
        function()
    with pytest.raises(TypeError, match=r"takes 1 positional argument but 2 were given"):
        function(1, 2)


def test_nvl(brindle):
    assert brindle.nvl(None, 3306) == 3306
    assert brindle.nvl("", "x") == ""
    assert brindle.nvl(0, 5) == 0
    assert brindle.nvl(p2=1, p1=None) == 1
    marker = object()
    assert brindle.nvl(marker, None) is marker
    with pytest.raises(TypeError, match=r"^nvl\(\) missing 1 required positional argument: 'p2'$"):
        brindle.nvl(1)
    with pytest.raises(TypeError, match=r"^nvl\(\) takes 2 positional arguments but 3 were given$"):
        brindle.nvl(1, 2, 3)
    with pytest.raises(TypeError, match=r"^nvl\(\) got multiple values for argument 'p1'$"):
        brindle.nvl(1, p1=2)
    with pytest.raises(TypeError, match=r"^nvl\(\) got an unexpected keyword argument 'p3'$"):
        brindle.nvl(1, 2, p3=3)
