"""Tables for notebooks: pandas DataFrames where pandas is installed, else pyarrow tables."""
import csv
import io


def frame(table):
    """A pyarrow table as a pandas DataFrame where pandas is installed."""
    try:
        import pandas  # noqa: F401
    except ImportError:
        return table
    return table.to_pandas()


def csv_text_frame(text):
    """The table of a CSV text, read as the file of that text would be read."""
    import pyarrow.csv

    # Read on this thread: a threaded read of a Python file object could leave the file's last
    # reference to one of pyarrow's threads, which aborts the process when it drops it at exit.
    return frame(pyarrow.csv.read_csv(io.BytesIO(text.encode("utf-8")),
                                      read_options=pyarrow.csv.ReadOptions(use_threads=False)))


def csv_frame(rows, columns):
    """The table of rows (dicts) as their CSV file holds them: the same text, read the same way."""
    text = io.StringIO()
    writer = csv.DictWriter(text, columns, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return csv_text_frame(text.getvalue())
