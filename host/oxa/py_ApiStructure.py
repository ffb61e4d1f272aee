"""Broker record classes of the trading client.

One class per broker record. Each class lists its fields once, in the broker's field
order, as (name, default) pairs; objects are built with keyword arguments, any field left
out takes its default, and ``to_dict()`` returns a new dictionary of all fields in that
order. Text fields are ``str``, except in query requests, which carry their text as the
broker encodes it (GB18030 ``bytes``).
"""

__all__ = [
    "InstrumentField",
    "QryInstrumentField",
    "DepthMarketDataField",
    "OrderField",
    "InputOrderField",
    "InvestorPositionField",
    "TradingAccountField",
    "SettlementInfoField",
    "InstrumentStatusField",
]


class BaseField:
    """A broker record: the fields named in ``_fields``, as attributes."""

    _fields = ()

    def __init__(self, **fields):
        for name, default in self._fields:
            setattr(self, name, fields.pop(name, default))
        if fields:
            raise TypeError(
                "%s() got an unexpected keyword argument %r" % (type(self).__name__, next(iter(fields)))
            )

    def to_dict(self):
        return {name: getattr(self, name) for name, _ in self._fields}

    def __eq__(self, other):
        if type(other) is not type(self):
            return NotImplemented
        return self.to_dict() == other.to_dict()

    __hash__ = None

    def __repr__(self):
        values = ", ".join("%s=%r" % item for item in self.to_dict().items())
        return "%s(%s)" % (type(self).__name__, values)


class InstrumentField(BaseField):
    _fields = (
        ("InstrumentID", ""),
        ("ExchangeID", ""),
        ("InstrumentName", ""),
        ("ExchangeInstID", ""),
        ("ProductID", ""),
        ("ProductClass", ""),
        ("DeliveryYear", 0),
        ("DeliveryMonth", 0),
        ("MaxMarketOrderVolume", 0),
        ("MinMarketOrderVolume", 0),
        ("MaxLimitOrderVolume", 0),
        ("MinLimitOrderVolume", 0),
        ("VolumeMultiple", 0),
        ("PriceTick", 0.0),
        ("CreateDate", ""),
        ("OpenDate", ""),
        ("ExpireDate", ""),
        ("StartDelivDate", ""),
        ("EndDelivDate", ""),
        ("InstLifePhase", ""),
        ("IsTrading", 0),
        ("PositionType", ""),
        ("PositionDateType", ""),
        ("LongMarginRatio", 0.0),
        ("ShortMarginRatio", 0.0),
        ("MaxMarginSideAlgorithm", ""),
        ("UnderlyingInstrID", ""),
        ("StrikePrice", 0.0),
        ("OptionsType", ""),
        ("UnderlyingMultiple", 0.0),
        ("CombinationType", ""),
    )


class QryInstrumentField(BaseField):
    """Instrument query request."""

    _fields = (
        ("InstrumentID", b""),
        ("ExchangeID", b""),
        ("ExchangeInstID", b""),
        ("ProductID", b""),
    )


class DepthMarketDataField(BaseField):
    """Market-data tick; the client passes its ``to_dict()`` to the engine."""

    _fields = (
        ("TradingDay", ""),
        ("InstrumentID", ""),
        ("ExchangeID", ""),
        ("ExchangeInstID", ""),
        ("LastPrice", 0.0),
        ("PreSettlementPrice", 0.0),
        ("PreClosePrice", 0.0),
        ("PreOpenInterest", 0.0),
        ("OpenPrice", 0.0),
        ("HighestPrice", 0.0),
        ("LowestPrice", 0.0),
        ("Volume", 0),
        ("Turnover", 0.0),
        ("OpenInterest", 0.0),
        ("ClosePrice", 0.0),
        ("SettlementPrice", 0.0),
        ("UpperLimitPrice", 0.0),
        ("LowerLimitPrice", 0.0),
        ("UpdateTime", ""),
        ("UpdateMillisec", 0),
        ("BidPrice1", 0.0),
        ("BidVolume1", 0),
        ("AskPrice1", 0.0),
        ("AskVolume1", 0),
        ("AveragePrice", 0.0),
        ("ActionDay", ""),
    )


class OrderField(BaseField):
    """Order, as reported by order notifications and order query answers."""

    _fields = (
        ("BrokerID", ""),
        ("InvestorID", ""),
        ("InstrumentID", ""),
        ("OrderRef", ""),
        ("UserID", ""),
        ("OrderPriceType", ""),
        ("Direction", ""),
        ("CombOffsetFlag", ""),
        ("CombHedgeFlag", ""),
        ("LimitPrice", 0.0),
        ("VolumeTotalOriginal", 0),
        ("TimeCondition", ""),
        ("VolumeCondition", ""),
        ("MinVolume", 0),
        ("RequestID", 0),
        ("OrderLocalID", ""),
        ("ExchangeID", ""),
        ("TradingDay", ""),
        ("OrderSysID", ""),
        ("OrderSubmitStatus", ""),
        ("OrderStatus", ""),
        ("VolumeTraded", 0),
        ("VolumeTotal", 0),
        ("InsertDate", ""),
        ("InsertTime", ""),
        ("UpdateTime", ""),
        ("CancelTime", ""),
        ("FrontID", 0),
        ("SessionID", 0),
        ("StatusMsg", ""),
    )


class InputOrderField(BaseField):
    """Order insert: a request the client sends, and the answer to it.

    Besides the broker's fields it carries the client's own bookkeeping of the request:
    the condition that raised it (Express), when it was placed (OrderTime), the last
    price at that moment (MD_Last_Price) and its status as far as the client knows.
    """

    _fields = (
        ("BrokerID", ""),
        ("InvestorID", ""),
        ("InstrumentID", ""),
        ("ExchangeID", ""),
        ("OrderRef", ""),
        ("UserID", ""),
        ("OrderPriceType", ""),
        ("Direction", ""),
        ("CombOffsetFlag", ""),
        ("CombHedgeFlag", ""),
        ("LimitPrice", 0.0),
        ("VolumeTotalOriginal", 0),
        ("TimeCondition", ""),
        ("VolumeCondition", ""),
        ("MinVolume", 0),
        ("RequestID", 0),
        ("OrderStatus", ""),
        ("Express", ""),
        ("OrderTime", ""),
        ("MD_Last_Price", 0.0),
    )


class InvestorPositionField(BaseField):
    _fields = (
        ("BrokerID", ""),
        ("InvestorID", ""),
        ("InstrumentID", ""),
        ("ExchangeID", ""),
        ("PosiDirection", ""),
        ("HedgeFlag", ""),
        ("PositionDate", ""),
        ("YdPosition", 0),
        ("Position", 0),
        ("TodayPosition", 0),
        ("LongFrozen", 0),
        ("ShortFrozen", 0),
        ("OpenVolume", 0),
        ("CloseVolume", 0),
        ("PositionCost", 0.0),
        ("OpenCost", 0.0),
        ("UseMargin", 0.0),
        ("CloseProfit", 0.0),
        ("PositionProfit", 0.0),
        ("TradingDay", ""),
    )


class TradingAccountField(BaseField):
    _fields = (
        ("BrokerID", ""),
        ("AccountID", ""),
        ("PreBalance", 0.0),
        ("Deposit", 0.0),
        ("Withdraw", 0.0),
        ("FrozenMargin", 0.0),
        ("FrozenCommission", 0.0),
        ("CurrMargin", 0.0),
        ("Commission", 0.0),
        ("CloseProfit", 0.0),
        ("PositionProfit", 0.0),
        ("Balance", 0.0),
        ("Available", 0.0),
        ("WithdrawQuota", 0.0),
        ("TradingDay", ""),
        ("CurrencyID", ""),
    )


class SettlementInfoField(BaseField):
    _fields = (
        ("TradingDay", ""),
        ("SettlementID", 0),
        ("BrokerID", ""),
        ("InvestorID", ""),
        ("SequenceNo", 0),
        ("Content", ""),
        ("AccountID", ""),
        ("CurrencyID", ""),
    )


class InstrumentStatusField(BaseField):
    _fields = (
        ("ExchangeID", ""),
        ("ExchangeInstID", ""),
        ("SettlementGroupID", ""),
        ("InstrumentID", ""),
        ("InstrumentStatus", ""),
        ("TradingSegmentSN", 0),
        ("EnterTime", ""),
        ("EnterReason", ""),
    )
