"""JSON encoder for the values task code hands to BMOBJ.jsondumps."""
import datetime
import decimal
import json
import uuid


class DatetimeJSONEncoder(json.JSONEncoder):
    """Dates, times and date-times as ISO 8601 text; Decimal and UUID as text."""

    def default(self, o):
        if isinstance(o, (datetime.datetime, datetime.date, datetime.time)):
            return o.isoformat()
        if isinstance(o, (decimal.Decimal, uuid.UUID)):
            return str(o)
        return super().default(o)
